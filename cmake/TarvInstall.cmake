# What `cmake --install` puts down for a host: libtarv.so with its SONAME links, the C header,
# a CMake package (find_package(tarv) gives tarv::tarv) and tarv.pc. Both package files locate
# the prefix from where they lie, so an installed tree can be moved.
include(CMakePackageConfigHelpers)

install(TARGETS tarv EXPORT tarvTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/tarv/tarv.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarv)

set(TARV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarv)
install(EXPORT tarvTargets NAMESPACE tarv:: DESTINATION ${TARV_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tarvConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tarvConfig.cmake INSTALL_DESTINATION ${TARV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarvConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarvConfig.cmake ${PROJECT_BINARY_DIR}/tarvConfigVersion.cmake
  DESTINATION ${TARV_CMAKE_DIR})

file(RELATIVE_PATH TARV_PC_TO_PREFIX
  /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(${PROJECT_SOURCE_DIR}/cmake/tarv.pc.in ${PROJECT_BINARY_DIR}/tarv.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# tarv_add_test(NAME <target> SOURCES <files...> [LIBS <libs...>])
# One test program per folder; each links the static library so that internal seams are
# reachable as well as the exported functions.
if(TARV_BUILD_TESTS)
  enable_testing()
endif()

function(tarv_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT TARV_BUILD_TESTS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE tarv_core GTest::gtest GTest::gtest_main ${T_LIBS})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 600)
endfunction()

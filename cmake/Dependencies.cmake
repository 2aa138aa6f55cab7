# Debian's OpenCV component packages ship headers and libraries but no CMake package
# configuration (that comes only with the libopencv-dev metapackage), so the modules are
# located directly.
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
# SHA-256 and ChaCha20 of the landmark model container.
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)

find_path(TARV_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
add_library(tarv::opencv INTERFACE IMPORTED)
target_include_directories(tarv::opencv INTERFACE ${TARV_OPENCV_INCLUDE_DIR})
foreach(module core imgproc imgcodecs calib3d video dnn videoio)
  find_library(TARV_OPENCV_${module} NAMES opencv_${module} REQUIRED)
  target_link_libraries(tarv::opencv INTERFACE ${TARV_OPENCV_${module}})
endforeach()

if(TARV_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()

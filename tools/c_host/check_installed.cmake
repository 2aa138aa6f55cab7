# Installs the build tree into a scratch prefix, then builds the C host against the installed
# tree twice, once with find_package(tarv) and once with pkg-config, and runs both.
# cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE=... -DC_COMPILER=... -P check_installed.cmake
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " line "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${line}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# find_package(tarv) -> tarv::tarv
get_filename_component(consumer ${CMAKE_CURRENT_LIST_DIR}/consumer ABSOLUTE)
run(${CMAKE_COMMAND} -S ${consumer} -B ${WORK_DIR}/cmake-host -G "Unix Makefiles"
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} -DC_HOST_SOURCE=${SOURCE})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-host)
run(${WORK_DIR}/cmake-host/c_host)

# pkg-config tarv
file(GLOB_RECURSE pc_files ${prefix}/tarv.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
execute_process(COMMAND pkg-config --cflags --libs tarv OUTPUT_VARIABLE flags
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config tarv failed")
endif()
execute_process(COMMAND pkg-config --variable=libdir tarv OUTPUT_VARIABLE libdir
                OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${C_COMPILER} -std=c99 -Wall -Wextra -pedantic -Werror ${SOURCE} ${flags}
    -Wl,-rpath,${libdir} -o ${WORK_DIR}/pkg-config-host)
run(${WORK_DIR}/pkg-config-host)

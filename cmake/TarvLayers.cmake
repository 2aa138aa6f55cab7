# tarv_add_layer(NAME <folder> SOURCES <files...> [DEPS <folders below...>] [C_INTERFACE])
#
# Each folder of src/tarv is one object library, tarv_layer_<folder>, with its own link list
# (DEPS: the folders directly below it; what those may include is visible too). A folder
# compiles against an include root of its own, <build>/layers/<folder>/tarv/, that holds
# symbolic links to its own folder and to the folders below it and nothing else, so
# `#include "tarv/<higher folder>/..."` fails to compile. C_INTERFACE adds tarv/tarv.h.
# Folders are declared bottom-up (src/tarv/CMakeLists.txt); naming a folder in DEPS that is
# not declared yet is a configure error, which keeps the graph free of loops.
#
# A new folder: src/tarv/<folder>/CMakeLists.txt with
#   tarv_add_layer(NAME <folder> SOURCES a.cc b.cc DEPS <folders below>)
#   tarv_add_test(NAME <folder>_tests SOURCES a_test.cc ...)
# and its add_subdirectory() in src/tarv/CMakeLists.txt above the folders it needs.
#
# The shared library and the static aggregate the tests and tools link (tarv_core) are made
# from the objects of every layer; tests and tools see the whole source tree.
define_property(GLOBAL PROPERTY TARV_LAYERS BRIEF_DOCS "layers" FULL_DOCS "tarv layer folders")

function(tarv_add_layer)
  cmake_parse_arguments(L "C_INTERFACE" "NAME" "SOURCES;DEPS" ${ARGN})
  set(visible ${L_NAME})
  foreach(dep IN LISTS L_DEPS)
    get_property(below GLOBAL PROPERTY TARV_LAYER_VISIBLE_${dep})
    if(NOT below)
      message(FATAL_ERROR "tarv layer ${L_NAME}: ${dep} is not declared below it")
    endif()
    list(APPEND visible ${below})
  endforeach()
  list(REMOVE_DUPLICATES visible)
  set_property(GLOBAL PROPERTY TARV_LAYER_VISIBLE_${L_NAME} ${visible})
  set_property(GLOBAL APPEND PROPERTY TARV_LAYERS ${L_NAME})

  set(root ${PROJECT_BINARY_DIR}/layers/${L_NAME})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/tarv)
  foreach(folder IN LISTS visible)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/tarv/${folder} ${root}/tarv/${folder} SYMBOLIC)
  endforeach()
  if(L_C_INTERFACE)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/include/tarv/tarv.h ${root}/tarv/tarv.h SYMBOLIC)
  endif()

  add_library(tarv_layer_${L_NAME} OBJECT ${L_SOURCES})
  target_include_directories(tarv_layer_${L_NAME} PRIVATE ${root})
  target_link_libraries(tarv_layer_${L_NAME} PUBLIC
    tarv::opencv nlohmann_json::nlohmann_json Threads::Threads)
  foreach(dep IN LISTS L_DEPS)
    target_link_libraries(tarv_layer_${L_NAME} PUBLIC tarv_layer_${dep})
  endforeach()
endfunction()

# The objects of every declared layer, for the libraries made from them.
function(tarv_layer_objects out)
  get_property(layers GLOBAL PROPERTY TARV_LAYERS)
  set(objects)
  foreach(layer IN LISTS layers)
    list(APPEND objects $<TARGET_OBJECTS:tarv_layer_${layer}>)
  endforeach()
  set(${out} ${objects} PARENT_SCOPE)
endfunction()

# yaml-cpp for mingw-w64, which Debian does not package: its Debian source package (patches
# applied), fetched by `scripts/setup.sh test` into /var/cache/kwotarv, or the tree named by
# KWOTARV_YAML_CPP_SOURCE, built here as a static library (target yaml-cpp) with the cross build's
# toolchain.
file(GLOB kwo_yaml_cpp_trees LIST_DIRECTORIES true /var/cache/kwotarv/yaml-cpp-*/CMakeLists.txt)
list(SORT kwo_yaml_cpp_trees)
list(POP_BACK kwo_yaml_cpp_trees kwo_yaml_cpp_tree)
if(kwo_yaml_cpp_tree)
  get_filename_component(kwo_yaml_cpp_tree ${kwo_yaml_cpp_tree} DIRECTORY)
endif()
set(KWOTARV_YAML_CPP_SOURCE "${kwo_yaml_cpp_tree}" CACHE PATH
    "yaml-cpp's source tree for the cross build (scripts/setup.sh test fetches Debian's)")
if(NOT EXISTS "${KWOTARV_YAML_CPP_SOURCE}/CMakeLists.txt")
  message(FATAL_ERROR "no yaml-cpp source for kwotarv.exe: run scripts/setup.sh test (it fetches "
                      "Debian's source package into /var/cache/kwotarv) or set "
                      "KWOTARV_YAML_CPP_SOURCE")
endif()

set(YAML_BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
set(YAML_CPP_BUILD_CONTRIB OFF CACHE BOOL "" FORCE)
set(YAML_CPP_BUILD_TOOLS OFF CACHE BOOL "" FORCE)
set(YAML_CPP_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(YAML_CPP_INSTALL OFF CACHE BOOL "" FORCE)
add_subdirectory(${KWOTARV_YAML_CPP_SOURCE} ${CMAKE_BINARY_DIR}/yaml-cpp EXCLUDE_FROM_ALL)
# GCC 12 warns wrongly (-Wrestrict) of a std::string assignment in src/singledocparser.cpp.
target_compile_options(yaml-cpp PRIVATE -Wno-restrict)

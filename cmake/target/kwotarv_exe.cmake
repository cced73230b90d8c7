# kwotarv.exe: the command-line tool for Windows, built from the same sources as the host tool
# (Tools/kwotarv/sources.cmake) with the device back end instead of the simulated machine. A
# user-mode program: ordinary flags, linked statically (C++ runtime and winpthreads included) so
# it runs on a machine without the mingw runtime.

# The two header-only libraries come from the build machine; only their own directories are
# put on the include path, not the build machine's whole /usr/include.
find_path(KWO_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH)
find_path(KWO_CLI11_INCLUDE CLI/CLI.hpp NO_CMAKE_FIND_ROOT_PATH)
if(NOT KWO_NLOHMANN_JSON_INCLUDE OR NOT KWO_CLI11_INCLUDE)
  message(FATAL_ERROR "kwotarv.exe needs the header-only libraries of nlohmann-json3-dev and "
                      "libcli11-dev on the build machine")
endif()
set(KWO_TOOL_HEADERS ${CMAKE_BINARY_DIR}/kwotarv-headers)
file(COPY ${KWO_NLOHMANN_JSON_INCLUDE}/nlohmann DESTINATION ${KWO_TOOL_HEADERS})
file(COPY ${KWO_CLI11_INCLUDE}/CLI DESTINATION ${KWO_TOOL_HEADERS})

include(${CMAKE_SOURCE_DIR}/Tools/kwotarv/sources.cmake)
add_executable(kwotarv ${KWO_TOOL_MAIN} ${KWO_TOOL_SOURCES} ${KWO_TOOL_CHIP_SOURCES}
                       ${KWO_TOOL_WINDOWS_SOURCES})
target_include_directories(kwotarv PRIVATE ${KWO_TOOL_DIR} ${CMAKE_SOURCE_DIR}/Driver/public)
target_include_directories(kwotarv SYSTEM PRIVATE ${KWO_TOOL_HEADERS})
target_compile_definitions(kwotarv PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_compile_options(kwotarv PRIVATE -O2 -Wall -Wextra)
target_link_options(kwotarv PRIVATE -static -s)
target_link_libraries(kwotarv PRIVATE ntdll advapi32 ws2_32 shell32)

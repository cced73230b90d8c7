# kwotarv.exe: the command-line tool for Windows, built from the same sources as the host tool
# (Tools/kwotarv/sources.cmake) with the device back end instead of the simulated machine, over
# the request client kwo_client (client_library.cmake) that kwotarv.dll links too. A
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
# The web configuration file's libraries, built here from Debian's sources (cmake/ports/).
include(${CMAKE_SOURCE_DIR}/cmake/ports/yaml-cpp.cmake)
include(${CMAKE_SOURCE_DIR}/cmake/ports/bcrypt.cmake)

# The event log's message table: windmc makes the header with the identifiers, the resource
# script and the English messages; windres compiles them into an object linked into the program,
# which the event source's registration names as its EventMessageFile.
string(REPLACE windres windmc KWO_WINDMC ${CMAKE_RC_COMPILER})
set(KWO_MESSAGES ${KWO_TOOL_DIR}/windows/service_events.mc)
set(KWO_MESSAGES_DIR ${CMAKE_BINARY_DIR}/kwotarv-messages)
add_custom_command(
  OUTPUT ${KWO_MESSAGES_DIR}/service_events.h ${KWO_MESSAGES_DIR}/service_events.rc
         ${KWO_MESSAGES_DIR}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KWO_MESSAGES_DIR}
  COMMAND ${KWO_WINDMC} -r ${KWO_MESSAGES_DIR} -h ${KWO_MESSAGES_DIR} ${KWO_MESSAGES}
  DEPENDS ${KWO_MESSAGES}
  COMMENT "Message table of the event source")
add_custom_command(
  OUTPUT ${KWO_MESSAGES_DIR}/service_events.o
  COMMAND ${CMAKE_RC_COMPILER} -i service_events.rc -o service_events.o
  WORKING_DIRECTORY ${KWO_MESSAGES_DIR}
  DEPENDS ${KWO_MESSAGES_DIR}/service_events.rc ${KWO_MESSAGES_DIR}/MSG00409.bin)

add_executable(kwotarv ${KWO_TOOL_MAIN} ${KWO_TOOL_SOURCES} ${KWO_TOOL_WEB_SOURCES}
                       ${KWO_TOOL_WINDOWS_SOURCES} ${KWO_TOOL_SCHANNEL_SOURCES}
                       ${KWO_MESSAGES_DIR}/service_events.h ${KWO_MESSAGES_DIR}/service_events.o)
target_include_directories(kwotarv PRIVATE ${KWO_TOOL_DIR} ${CMAKE_SOURCE_DIR}/Driver/public
                           ${KWO_MESSAGES_DIR})
target_include_directories(kwotarv SYSTEM PRIVATE ${KWO_TOOL_HEADERS})
target_compile_definitions(kwotarv PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_compile_options(kwotarv PRIVATE -O2 -Wall -Wextra)
target_link_options(kwotarv PRIVATE -static -s)
target_link_libraries(kwotarv PRIVATE kwo_client yaml-cpp kwo_bcrypt ntdll advapi32 ws2_32 shell32
                                      secur32 crypt32)

# kwo_client: the request client for Windows (Tools/kwotarv/sources.cmake, the client and its
# device and bus mutex), which kwotarv.exe and kwotarv.dll both link: one road to the driver.
# Position-independent by nature on Windows; built with the tool's flags.
include(${CMAKE_SOURCE_DIR}/Tools/kwotarv/sources.cmake)

add_library(kwo_client STATIC ${KWO_TOOL_CLIENT_SOURCES} ${KWO_TOOL_CHIP_SOURCES}
                              ${KWO_TOOL_WINDOWS_CLIENT_SOURCES})
target_include_directories(kwo_client PUBLIC ${KWO_TOOL_DIR} ${CMAKE_SOURCE_DIR}/Driver/public)
target_compile_definitions(kwo_client PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_compile_options(kwo_client PRIVATE -O2 -Wall -Wextra)
target_link_libraries(kwo_client PUBLIC ntdll advapi32)

# The tool's sources, for the host build (Tools/kwotarv/CMakeLists.txt) and the Windows build
# (cmake/target/kwotarv_exe.cmake) alike, by folder:
#   cli/       main, the command line, option values
#   commands/  read, info, ioctl, check, the Prometheus export, the session and its pacing
#   client/    the device interface, the request client, the info block, the chip table, names
#   output/    text and JSON reports
#   serve/     the HTTP server and its transports, the sensor monitor, metrics, history, atomic
#              files, the dashboard, the web configuration file (TLS, basic auth)
#   backends/  the back-end interface, the simulated machine, the Windows device, the demo board
#   windows/   the service, its event log source (message table service_events.mc), the console
# KWO_TOOL_SOURCES is what both builds compile besides the request client
# (KWO_TOOL_CLIENT_SOURCES) and the chip table (KWO_TOOL_CHIP_SOURCES, the host build's library
# kwotarv_chips, chip_table.cmake); KWO_TOOL_SIMULATOR_SOURCES and KWO_TOOL_WINDOWS_SOURCES are
# each platform's own. KWO_TOOL_WEB_SOURCES, the web configuration file (yaml-cpp) and basic auth,
# are both builds'; their hashing and the TLS transport are each platform's own:
# KWO_TOOL_LINUX_WEB_SOURCES (libcrypt, OpenSSL) on the host, windows_password_hashing.cpp
# (libxcrypt's bcrypt built in, CryptoAPI) among KWO_TOOL_WINDOWS_SOURCES, and
# KWO_TOOL_SCHANNEL_SOURCES, the Windows build's TLS with the system's SChannel.
# KWO_TOOL_MAIN is the program's entry point.
# The dashboard page is compiled in from serve/dashboard/dashboard.html (a C++ raw string,
# generated at configure time into the including directory's binary directory).
set(KWO_TOOL_DIR ${CMAKE_CURRENT_LIST_DIR})

set(KWO_TOOL_CHIP_SOURCES ${KWO_TOOL_DIR}/client/chip_table.cpp)

set(KWO_DASHBOARD_HTML_FILE ${KWO_TOOL_DIR}/serve/dashboard/dashboard.html)
file(READ ${KWO_DASHBOARD_HTML_FILE} KWO_DASHBOARD_HTML)
string(FIND "${KWO_DASHBOARD_HTML}" ")kwotarv_page\"" KWO_DASHBOARD_DELIMITER)
if(NOT KWO_DASHBOARD_DELIMITER EQUAL -1)
  message(FATAL_ERROR "dashboard.html contains the raw-string delimiter )kwotarv_page\"")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KWO_DASHBOARD_HTML_FILE}
             ${KWO_TOOL_DIR}/serve/dashboard/dashboard_page.cpp.in)
set(KWO_DASHBOARD_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/dashboard_page.cpp)
configure_file(${KWO_TOOL_DIR}/serve/dashboard/dashboard_page.cpp.in ${KWO_DASHBOARD_SOURCE}
               @ONLY)

# The request client: what the tool and the library (Library/) both link, so that there is one
# road to the driver. KWO_TOOL_WINDOWS_CLIENT_SOURCES is its Windows device and bus mutex.
set(KWO_TOOL_CLIENT_SOURCES
    ${KWO_TOOL_DIR}/client/bus_mutex.cpp
    ${KWO_TOOL_DIR}/client/channel_state.cpp
    ${KWO_TOOL_DIR}/client/hwm_client.cpp
    ${KWO_TOOL_DIR}/client/info_block.cpp
    ${KWO_TOOL_DIR}/client/protocol_names.cpp
    ${KWO_TOOL_DIR}/client/text.cpp)

set(KWO_TOOL_WINDOWS_CLIENT_SOURCES
    ${KWO_TOOL_DIR}/backends/windows_bus_mutex.cpp
    ${KWO_TOOL_DIR}/backends/windows_device.cpp)

set(KWO_TOOL_SOURCES
    ${KWO_TOOL_DIR}/cli/command_line.cpp
    ${KWO_TOOL_DIR}/cli/version.cpp
    ${KWO_TOOL_DIR}/cli/exit_status.cpp
    ${KWO_TOOL_DIR}/cli/option_values.cpp
    ${KWO_TOOL_DIR}/commands/export.cpp
    ${KWO_TOOL_DIR}/commands/info.cpp
    ${KWO_TOOL_DIR}/commands/ioctl.cpp
    ${KWO_TOOL_DIR}/commands/read.cpp
    ${KWO_TOOL_DIR}/commands/session.cpp
    ${KWO_TOOL_DIR}/commands/watch_pacing.cpp
    ${KWO_TOOL_DIR}/client/alarm_transitions.cpp
    ${KWO_TOOL_DIR}/output/format.cpp
    ${KWO_TOOL_DIR}/output/info_report.cpp
    ${KWO_TOOL_DIR}/output/ioctl_report.cpp
    ${KWO_TOOL_DIR}/output/readings_report.cpp
    ${KWO_TOOL_DIR}/serve/atomic_file.cpp
    ${KWO_TOOL_DIR}/serve/base64.cpp
    ${KWO_TOOL_DIR}/serve/history.cpp
    ${KWO_TOOL_DIR}/serve/http_message.cpp
    ${KWO_TOOL_DIR}/serve/http_server.cpp
    ${KWO_TOOL_DIR}/serve/metrics.cpp
    ${KWO_TOOL_DIR}/serve/pem_file.cpp
    ${KWO_TOOL_DIR}/serve/sensor_monitor.cpp
    ${KWO_TOOL_DIR}/serve/serve.cpp
    ${KWO_TOOL_DIR}/serve/site.cpp
    ${KWO_TOOL_DIR}/serve/transport.cpp
    ${KWO_DASHBOARD_SOURCE})

set(KWO_TOOL_WEB_SOURCES
    ${KWO_TOOL_DIR}/serve/basic_auth.cpp
    ${KWO_TOOL_DIR}/serve/web_config.cpp
    ${KWO_TOOL_DIR}/serve/web_security.cpp)

set(KWO_TOOL_LINUX_WEB_SOURCES
    ${KWO_TOOL_DIR}/serve/linux_password_hashing.cpp
    ${KWO_TOOL_DIR}/serve/tls_transport.cpp)

set(KWO_TOOL_SIMULATOR_SOURCES
    ${KWO_TOOL_DIR}/backends/simulated_bus_mutex.cpp
    ${KWO_TOOL_DIR}/backends/simulated_inputs.cpp
    ${KWO_TOOL_DIR}/backends/simulator_backend.cpp
    ${KWO_TOOL_DIR}/commands/check.cpp
    ${KWO_TOOL_DIR}/output/check_report.cpp)

set(KWO_TOOL_WINDOWS_SOURCES
    ${KWO_TOOL_DIR}/backends/windows_backend.cpp
    ${KWO_TOOL_DIR}/serve/windows_password_hashing.cpp
    ${KWO_TOOL_DIR}/windows/driver_version.cpp
    ${KWO_TOOL_DIR}/windows/console.cpp
    ${KWO_TOOL_DIR}/windows/event_log.cpp
    ${KWO_TOOL_DIR}/windows/service.cpp
    ${KWO_TOOL_DIR}/windows/system_message.cpp
    ${KWO_TOOL_DIR}/windows/wide_text.cpp)

set(KWO_TOOL_SCHANNEL_SOURCES
    ${KWO_TOOL_DIR}/serve/schannel_credentials.cpp
    ${KWO_TOOL_DIR}/serve/schannel_transport.cpp)

set(KWO_TOOL_MAIN ${KWO_TOOL_DIR}/cli/main.cpp)

# What --version says: the project's version and the build type.
set_source_files_properties(
  ${KWO_TOOL_DIR}/cli/version.cpp
  PROPERTIES COMPILE_DEFINITIONS
             "KWOTARV_VERSION=\"${PROJECT_VERSION}\";KWOTARV_BUILD_TYPE=\"${CMAKE_BUILD_TYPE}\"")

# Shared by the host build and the Windows tool: the portable sources of serve and the
# Prometheus export, and the dashboard page compiled in from dashboard.html (a C++ raw
# string, generated at configure time).
set(KWO_MONITORING_DIR ${CMAKE_CURRENT_LIST_DIR}/..)
set(KWO_MONITORING_SOURCES
    ${KWO_MONITORING_DIR}/atomic_file.cpp
    ${KWO_MONITORING_DIR}/history.cpp
    ${KWO_MONITORING_DIR}/http_server.cpp
    ${KWO_MONITORING_DIR}/metrics.cpp
    ${KWO_MONITORING_DIR}/prometheus_export.cpp
    ${KWO_MONITORING_DIR}/sensor_monitor.cpp
    ${KWO_MONITORING_DIR}/serve.cpp)

set(KWO_DASHBOARD_HTML_FILE ${CMAKE_CURRENT_LIST_DIR}/dashboard.html)
file(READ ${KWO_DASHBOARD_HTML_FILE} KWO_DASHBOARD_HTML)
string(FIND "${KWO_DASHBOARD_HTML}" ")kwotarv_page\"" KWO_DASHBOARD_DELIMITER)
if(NOT KWO_DASHBOARD_DELIMITER EQUAL -1)
  message(FATAL_ERROR "dashboard.html contains the raw-string delimiter )kwotarv_page\"")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KWO_DASHBOARD_HTML_FILE}
             ${CMAKE_CURRENT_LIST_DIR}/dashboard_page.cpp.in)
set(KWO_DASHBOARD_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/dashboard_page.cpp)
configure_file(${CMAKE_CURRENT_LIST_DIR}/dashboard_page.cpp.in ${KWO_DASHBOARD_SOURCE} @ONLY)

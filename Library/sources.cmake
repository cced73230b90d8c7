# The library's sources, for the host build (Library/CMakeLists.txt, over the simulator) and the
# Windows build (cmake/target/kwotarv_dll.cmake) alike; each adds its own connection
# (src/connection_simulator.cpp, src/connection_windows.cpp).
set(KWO_LIBRARY_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KWO_LIBRARY_SOURCES
    ${KWO_LIBRARY_DIR}/src/api.cpp
    ${KWO_LIBRARY_DIR}/src/channel_records.cpp
    ${KWO_LIBRARY_DIR}/src/handle_table.cpp
    ${KWO_LIBRARY_DIR}/src/session.cpp
    ${KWO_LIBRARY_DIR}/src/status_text.cpp)

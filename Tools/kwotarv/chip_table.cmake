# kwotarv_chips: the user-mode chip table (client/chip_table.cpp). It needs nothing but the
# driver's public header, so that the simulator can link it as well as the tool; included by
# the top-level CMakeLists.txt ahead of Simulator/ and Tools/ (also in the fuzz build).
add_library(kwotarv_chips STATIC ${CMAKE_CURRENT_LIST_DIR}/client/chip_table.cpp)
target_include_directories(kwotarv_chips PUBLIC ${CMAKE_CURRENT_LIST_DIR}
                           ${CMAKE_SOURCE_DIR}/Driver/public)

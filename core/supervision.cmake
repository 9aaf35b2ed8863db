# Port mapping over libnat, and supervision of the updater program.
add_library(morvane_portmap STATIC ${CMAKE_CURRENT_SOURCE_DIR}/portmap.cpp)
target_include_directories(morvane_portmap PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(morvane_portmap PUBLIC nat morvane_xml morvane_platform morvane_log)
morvane_warnings(morvane_portmap)

add_library(morvane_updater STATIC ${CMAKE_CURRENT_SOURCE_DIR}/updater.cpp)
target_include_directories(morvane_updater PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(morvane_updater PUBLIC morvane_platform morvane_base)
morvane_warnings(morvane_updater)

# The manager, the control channel and the service program.
add_library(morvane_service STATIC
  ${CMAKE_CURRENT_LIST_DIR}/manager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/channel_guard.cpp
  ${CMAKE_CURRENT_LIST_DIR}/service_entry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hook.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hook_file.cpp)
target_include_directories(morvane_service PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(morvane_service PUBLIC
  morvane_webservice morvane_portmap morvane_updater morvane_xml morvane_packet morvane_platform morvane_log)
morvane_warnings(morvane_service)

add_executable(MorvaneCore ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(MorvaneCore PRIVATE morvane_service)
set_target_properties(MorvaneCore PROPERTIES INSTALL_RPATH "$ORIGIN")
morvane_warnings(MorvaneCore)

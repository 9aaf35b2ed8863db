# The desktop program: every window in the static library morvane_gui (tests link it), and a thin
# main for the program Morvane.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
include(MorvaneVersion)

file(GLOB MORVANE_GUI_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/shell/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/shell/*.h
     ${CMAKE_CURRENT_SOURCE_DIR}/pages/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/pages/*.h
     ${CMAKE_CURRENT_SOURCE_DIR}/controls/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/controls/*.h)
add_library(morvane_gui STATIC ${MORVANE_GUI_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/strings.cpp
                               ${CMAKE_CURRENT_SOURCE_DIR}/strings.h)
set_target_properties(morvane_gui PROPERTIES AUTOMOC ON)
target_include_directories(morvane_gui PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(morvane_gui PUBLIC Qt6::Widgets morvane_channel morvane_xml morvane_platform morvane_base
                                         Threads::Threads)
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/strings.cpp PROPERTIES
                            COMPILE_DEFINITIONS MORVANE_SITE_DEFAULT_HOST="${MORVANE_SITE_HOST}")
morvane_warnings(morvane_gui)

add_executable(Morvane ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
target_link_libraries(Morvane PRIVATE morvane_gui)
morvane_warnings(Morvane)

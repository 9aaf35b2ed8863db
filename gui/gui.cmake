# The desktop program: every window in the static library morvane_gui (tests link it), and a thin
# main for the program Morvane.
find_package(Qt6 REQUIRED COMPONENTS Widgets Svg Test LinguistTools)
include(MorvaneVersion)

file(GLOB MORVANE_GUI_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/shell/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/shell/*.h
     ${CMAKE_CURRENT_SOURCE_DIR}/pages/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/pages/*.h
     ${CMAKE_CURRENT_SOURCE_DIR}/controls/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/controls/*.h)
add_library(morvane_gui STATIC ${MORVANE_GUI_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/strings.cpp
                               ${CMAKE_CURRENT_SOURCE_DIR}/strings.h)
set_target_properties(morvane_gui PROPERTIES AUTOMOC ON)
target_include_directories(morvane_gui PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(morvane_gui PUBLIC Qt6::Widgets Qt6::Svg morvane_channel morvane_xml morvane_platform morvane_base
                                         Threads::Threads)
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/strings.cpp PROPERTIES
                            COMPILE_DEFINITIONS MORVANE_SITE_DEFAULT_HOST="${MORVANE_SITE_HOST}")
morvane_warnings(morvane_gui)

# The logo, built in: packaging/morvane.svg as a string.
file(READ ${PROJECT_SOURCE_DIR}/packaging/morvane.svg MORVANE_LOGO_SVG)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/morvane_logo.cpp
     CONTENT "// Generated from packaging/morvane.svg.\nnamespace gui {\nextern const char kLogoSvg[] = R\"morvane(@MORVANE_LOGO_SVG@)morvane\";\n}\n"
     @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/morvane.svg)
target_sources(morvane_gui PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/morvane_logo.cpp)

# Translations: the texts are Chinese; gui/translations/morvane_<lang>.ts hold the other languages.
# The .qm files go to bin/translations (a build tree) and are installed with the programs' data.
# `cmake --build --preset dev --target morvane_gui_lupdate` refreshes the .ts files from the sources.
set(MORVANE_TS_FILES ${CMAKE_CURRENT_SOURCE_DIR}/translations/morvane_en.ts)
set(MORVANE_QM_DIR ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/translations)
set_source_files_properties(${MORVANE_TS_FILES} PROPERTIES OUTPUT_LOCATION ${MORVANE_QM_DIR})
qt_add_lupdate(morvane_gui TS_FILES ${MORVANE_TS_FILES} OPTIONS -no-obsolete -locations none)
qt_add_lrelease(morvane_gui TS_FILES ${MORVANE_TS_FILES} QM_FILES_OUTPUT_VARIABLE MORVANE_QM_FILES)

add_executable(Morvane ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
target_link_libraries(Morvane PRIVATE morvane_gui)
morvane_warnings(Morvane)

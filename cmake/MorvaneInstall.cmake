# Install layout, in three components (one Debian package each):
#   morvane   the service MorvaneCore, morvanectl, libnat.so, the unit, their man pages
#   gui       the desktop program Morvane, its desktop entry and icon (needs morvane)
#   provider  the local web service morvane-provider and its unit
#
#   <prefix>/lib/morvane/   Morvane (GUI), MorvaneCore (service), morvanectl, libnat.so side by side
#   <prefix>/bin/           morvane-provider; links morvane -> the GUI, morvanectl -> the client
#   <unit dir>/morvane.service, morvane-provider.service, the desktop entry, the icon, man pages
#   /var/lib/morvane        data directory (created by the package for its user and group)
#   /var/lib/morvane-provider  the provider's database (created by its package for its own user)
# A build tree keeps its data beside the programs: bin/ carries a marker saying so.

include(GNUInstallDirs)

set(MORVANE_INSTALL_PROGRAM_DIR "lib/morvane" CACHE STRING "Programs directory, relative to the prefix")
set(MORVANE_INSTALL_DATA_DIR "/var/lib/morvane")
# Empty: decided at install time from the prefix (/lib/systemd/system for /usr, else
# <prefix>/lib/systemd/system, which systemd also reads).
set(MORVANE_INSTALL_UNIT_DIR "" CACHE PATH "Where the systemd unit is installed (empty: from the prefix)")

file(WRITE ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/.morvane-build-tree
     "Programs run from this directory keep their data files here.\n")

install(TARGETS Morvane RUNTIME DESTINATION ${MORVANE_INSTALL_PROGRAM_DIR} COMPONENT gui)
install(TARGETS MorvaneCore morvanectl RUNTIME DESTINATION ${MORVANE_INSTALL_PROGRAM_DIR} COMPONENT morvane)
install(TARGETS nat LIBRARY DESTINATION ${MORVANE_INSTALL_PROGRAM_DIR} NAMELINK_SKIP COMPONENT morvane)
install(TARGETS morvane-provider RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT provider)

# Commands on the PATH for the programs that live in the program directory (the programs find
# their siblings through their own resolved path, so links are enough).
foreach(link "morvane:Morvane:gui" "morvanectl:morvanectl:morvane")
  string(REPLACE ":" ";" link "${link}")
  list(GET link 0 name)
  list(GET link 1 target)
  list(GET link 2 component)
  file(RELATIVE_PATH relative "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${MORVANE_INSTALL_PROGRAM_DIR}/${target}")
  install(CODE "
    set(_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(MAKE_DIRECTORY \"\${_dir}\")
    file(CREATE_LINK \"${relative}\" \"\${_dir}/${name}\" SYMBOLIC)
    message(STATUS \"Installing: \${_dir}/${name} -> ${relative}\")" COMPONENT ${component})
endforeach()

# The units name the installed programs, so they are written at install time, when the prefix is final
# (cpack installs with its own prefix): morvane.service for the service, morvane-provider.service for
# the provider (installed disabled; see packaging/debian/provider-postinst.in).
foreach(unit "morvane:morvane" "morvane-provider:provider")
  string(REPLACE ":" ";" unit "${unit}")
  list(GET unit 0 name)
  list(GET unit 1 component)
  install(CODE "
    set(MORVANE_INSTALL_FULL_PROGRAM_DIR \"\${CMAKE_INSTALL_PREFIX}/${MORVANE_INSTALL_PROGRAM_DIR}\")
    set(MORVANE_INSTALL_FULL_BIN_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(_unit_dir \"${MORVANE_INSTALL_UNIT_DIR}\")
    if(NOT _unit_dir)
      if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(_unit_dir /lib/systemd/system)
      else()
        set(_unit_dir \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
      endif()
    endif()
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/${name}.service.in\" \"\$ENV{DESTDIR}\${_unit_dir}/${name}.service\"
                   @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${_unit_dir}/${name}.service\")" COMPONENT ${component})
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/morvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT gui)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/morvane.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT gui)
# The GUI's translations (built by gui/CMakeLists.txt into bin/translations).
install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/translations/morvane_en.qm
        DESTINATION ${CMAKE_INSTALL_DATADIR}/morvane/translations COMPONENT gui)
# The user guide the GUI's links open when the provider's site does not answer.
install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/doc/user-guide.html DESTINATION ${CMAKE_INSTALL_DATADIR}/morvane/doc
        COMPONENT gui)

# Man pages, compressed as Debian expects.
find_program(MORVANE_GZIP gzip)
foreach(page "MorvaneCore.8:morvane" "morvanectl.1:morvane" "morvane-provider.1:provider")
  string(REPLACE ":" ";" page "${page}")
  list(GET page 0 file)
  list(GET page 1 component)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section "${file}")
  set(source ${PROJECT_SOURCE_DIR}/packaging/man/${file})
  if(MORVANE_GZIP)
    set(output ${CMAKE_BINARY_DIR}/packaging/man/${file}.gz)
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
      COMMAND ${MORVANE_GZIP} -9n -c ${source} > ${output}
      DEPENDS ${source} VERBATIM)
    list(APPEND _morvane_man_outputs ${output})
    install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
  else()
    install(FILES ${source} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
  endif()
endforeach()
if(_morvane_man_outputs)
  add_custom_target(morvane_man_pages ALL DEPENDS ${_morvane_man_outputs})
endif()

# The data directory, for a direct `cmake --install` onto this system (the package makes it itself,
# for the user and group "morvane"; see packaging/debian/postinst.in).
install(CODE "
  if(\"\$ENV{DESTDIR}\" STREQUAL \"\" AND CMAKE_INSTALL_PREFIX STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
    execute_process(COMMAND mkdir -p -m 0775 \"${MORVANE_INSTALL_DATA_DIR}\" RESULT_VARIABLE _rc ERROR_QUIET)
    if(NOT _rc EQUAL 0)
      message(WARNING \"Could not create ${MORVANE_INSTALL_DATA_DIR}; create it writable for the service and the GUI's users.\")
    endif()
  endif()" COMPONENT morvane)

include(MorvanePackaging)

# Debian packages: cpack -G DEB (from the build directory; build everything first). One package per
# install component:
#   morvane           the service, morvanectl, libnat.so, the unit and their man pages
#   morvane-gui       the desktop program (depends on morvane); a headless server does without Qt
#   morvane-provider  the local web service for trying things out
# Library dependencies come from dpkg-shlibdeps; the rest is listed here.

# The provider's scripts keep their dpkg names in a folder of their own; they run the program where the
# package puts it (prefix /usr, below).
set(MORVANE_INSTALL_FULL_BIN_DIR "/usr/${CMAKE_INSTALL_BINDIR}")
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${script}.in ${CMAKE_BINARY_DIR}/packaging/debian/${script}
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/provider-${script}.in
                 ${CMAKE_BINARY_DIR}/packaging/debian/provider/${script}
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
endforeach()

# Every package carries its copyright file and a compressed changelog (a native package's name), as
# Debian policy asks.
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${CMAKE_BINARY_DIR}/packaging/debian/changelog @ONLY)
set(_changelog_gz ${CMAKE_BINARY_DIR}/packaging/debian/changelog.gz)
find_program(MORVANE_GZIP gzip)
if(MORVANE_GZIP)
  add_custom_command(OUTPUT ${_changelog_gz}
    COMMAND ${MORVANE_GZIP} -9n -c ${CMAKE_BINARY_DIR}/packaging/debian/changelog > ${_changelog_gz}
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/debian/changelog VERBATIM)
  add_custom_target(morvane_changelog ALL DEPENDS ${_changelog_gz})
endif()
foreach(package "morvane:morvane" "morvane-gui:gui" "morvane-provider:provider")
  string(REPLACE ":" ";" package "${package}")
  list(GET package 0 name)
  list(GET package 1 component)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name}
          COMPONENT ${component})
  if(MORVANE_GZIP)
    install(FILES ${_changelog_gz} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} COMPONENT ${component})
  endif()
endforeach()

set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL morvane provider)
if(TARGET Morvane)
  list(APPEND CPACK_COMPONENTS_ALL gui)
endif()
set(CPACK_PACKAGE_NAME "morvane")
set(CPACK_PACKAGE_VENDOR "Morvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Morvane maintainers <maintainers@morvane.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Install with DESTDIR and the final prefix, so that the unit (written at install time) names
# /usr/lib/morvane and lands in /lib/systemd/system.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libnat.so is ours and lives beside the programs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}/bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

set(CPACK_DEBIAN_MORVANE_PACKAGE_NAME "morvane")
set(CPACK_COMPONENT_MORVANE_DESCRIPTION
    "dynamic-DNS client with UPnP port mapping\n\
Keeps the domain names of a dynamic-DNS account pointed at this machine's\n\
public IPv4 address and opens router ports over UPnP or NAT-PMP. The service\n\
MorvaneCore (the systemd unit morvane.service) runs as the user morvane;\n\
members of the group morvane control it with morvanectl or the desktop\n\
program from the package morvane-gui.")
# adduser/deluser in the maintainer scripts; deb-systemd-helper/-invoke for the unit.
# libcurl4 is opened at run time by the service (dyndns2 accounts), so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_MORVANE_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.50), libcurl4 (>= 7.85)")
set(CPACK_DEBIAN_MORVANE_PACKAGE_SUGGESTS "morvane-gui")
set(CPACK_DEBIAN_MORVANE_PACKAGE_CONTROL_EXTRA
    "${CMAKE_BINARY_DIR}/packaging/debian/postinst;${CMAKE_BINARY_DIR}/packaging/debian/prerm;${CMAKE_BINARY_DIR}/packaging/debian/postrm")

set(CPACK_DEBIAN_GUI_PACKAGE_NAME "morvane-gui")
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION "net")
set(CPACK_COMPONENT_GUI_DESCRIPTION
    "dynamic-DNS client with UPnP port mapping - desktop program\n\
The desktop program Morvane logs in to the dynamic-DNS account, switches its\n\
domains and maps router ports through the service of the package morvane.")
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "morvane (= ${PROJECT_VERSION})")
# Chinese texts in the desktop program; the provider's web pages open in the browser.
set(CPACK_DEBIAN_GUI_PACKAGE_RECOMMENDS "fonts-wqy-microhei, xdg-utils")

set(CPACK_DEBIAN_PROVIDER_PACKAGE_NAME "morvane-provider")
set(CPACK_COMPONENT_PROVIDER_DESCRIPTION
    "small self-hosted dynamic-DNS service for Morvane and dyndns2 clients\n\
morvane-provider answers the SOAP calls of the Morvane service and dyndns2\n\
updates (/nic/update) from an SQLite database of accounts and domains, over\n\
HTTP or HTTPS, and publishes accepted addresses to authoritative DNS servers\n\
by RFC 2136 UPDATE signed with TSIG. The unit morvane-provider.service runs it
as the user morvane-provider once enabled; it is installed disabled.")
# adduser/deluser and runuser in the maintainer scripts; deb-systemd-helper/-invoke for the unit.
set(CPACK_DEBIAN_PROVIDER_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.50)")
set(CPACK_DEBIAN_PROVIDER_PACKAGE_CONTROL_EXTRA
    "${CMAKE_BINARY_DIR}/packaging/debian/provider/postinst;${CMAKE_BINARY_DIR}/packaging/debian/provider/prerm;${CMAKE_BINARY_DIR}/packaging/debian/provider/postrm")

include(CPack)

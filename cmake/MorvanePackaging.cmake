# Debian package: cpack -G DEB (from the build directory; build everything first).
# Library dependencies come from dpkg-shlibdeps; the rest is listed here.

foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${script}.in ${CMAKE_BINARY_DIR}/packaging/debian/${script}
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "morvane")
set(CPACK_PACKAGE_VENDOR "Morvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Morvane maintainers <maintainers@morvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dynamic-DNS client with UPnP port mapping")
set(CPACK_PACKAGE_DESCRIPTION
    "Keeps the domain names of a dynamic-DNS account pointed at this machine's public IPv4 address and\n\
opens router ports over UPnP or NAT-PMP. A background service (MorvaneCore, the systemd unit\n\
morvane.service) does the work; the desktop program Morvane and the terminal client morvanectl\n\
control it. morvane-provider is a small local dynamic-DNS web service for trying it out.")
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
# addgroup/adduser in postinst; deb-systemd-helper/-invoke for the unit.
# libcurl4 is opened at run time by the service (dyndns2 accounts), so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.50), libcurl4 (>= 7.85)")
# Chinese texts in the desktop program; the provider's web pages open in the browser.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_BINARY_DIR}/packaging/debian/postinst;${CMAKE_BINARY_DIR}/packaging/debian/prerm;${CMAKE_BINARY_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)

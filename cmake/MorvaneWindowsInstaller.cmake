# The Windows installer, morvane-setup.exe, made with NSIS (makensis) from packaging/windows/morvane.nsi
# once the programs are built. Without makensis the programs are still built and the installer is not.
find_program(MORVANE_MAKENSIS makensis)
if(NOT MORVANE_MAKENSIS)
  message(STATUS "makensis not found: no morvane-setup.exe")
  return()
endif()
set(MORVANE_INSTALLER ${CMAKE_BINARY_DIR}/morvane-setup.exe)
add_custom_command(
  OUTPUT ${MORVANE_INSTALLER}
  COMMAND ${MORVANE_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DBINDIR=${CMAKE_BINARY_DIR}/bin
          -DOUTFILE=${MORVANE_INSTALLER} ${PROJECT_SOURCE_DIR}/packaging/windows/morvane.nsi
  DEPENDS MorvaneCore morvanectl nat ${PROJECT_SOURCE_DIR}/packaging/windows/morvane.nsi
  COMMENT "morvane-setup.exe"
  VERBATIM)
add_custom_target(installer ALL DEPENDS ${MORVANE_INSTALLER})

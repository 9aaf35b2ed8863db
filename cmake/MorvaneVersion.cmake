# The version note: every program carries the project version as a non-allocated ELF note
# (".note.morvane.version"), readable from another program with platform/version.h.
#
#   morvane_version_note(<target>)   links the note into an executable
#
# Included once from the top level; each program's CMakeLists.txt asks for its note. The generator
# is tools/version_note_gen.

if(WIN32)
  # Windows keeps the same block as a version resource, where Explorer and the SCM tools show it.
  string(REPLACE "." "," MORVANE_VERSION_COMMAS ${PROJECT_VERSION})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/version.rc.in ${CMAKE_BINARY_DIR}/generated/version.rc @ONLY)
  function(morvane_version_note target)
    target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated/version.rc)
  endfunction()
  return()
endif()

set(MORVANE_VERSION_NOTE_SOURCE ${CMAKE_BINARY_DIR}/generated/version_note.cpp)
add_custom_command(
  OUTPUT ${MORVANE_VERSION_NOTE_SOURCE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
  COMMAND morvane_version_gen ${MORVANE_VERSION_NOTE_SOURCE} ${PROJECT_VERSION} Morvane
  DEPENDS morvane_version_gen
  COMMENT "Version note ${PROJECT_VERSION}"
  VERBATIM)
add_library(morvane_version_note OBJECT ${MORVANE_VERSION_NOTE_SOURCE})

function(morvane_version_note target)
  target_link_libraries(${target} PRIVATE morvane_version_note)
endfunction()

# A note with some other version, for test programs that stand in for other products' files.
function(morvane_version_note_as target version)
  string(REPLACE "." "_" tag ${version})
  set(source ${CMAKE_BINARY_DIR}/generated/version_note_${tag}.cpp)
  if(NOT TARGET morvane_version_note_${tag})
    add_custom_command(
      OUTPUT ${source}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
      COMMAND morvane_version_gen ${source} ${version} Morvane
      DEPENDS morvane_version_gen
      VERBATIM)
    add_library(morvane_version_note_${tag} OBJECT ${source})
  endif()
  target_link_libraries(${target} PRIVATE morvane_version_note_${tag})
endfunction()

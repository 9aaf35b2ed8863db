# Builds the package afresh into DEB_DIR: cmake -DCPACK_CONFIG=... -DDEB_DIR=... -P build_deb.cmake
file(REMOVE_RECURSE "${DEB_DIR}")
file(MAKE_DIRECTORY "${DEB_DIR}")
execute_process(COMMAND "${CPACK}" -G DEB --config "${CPACK_CONFIG}" -B "${DEB_DIR}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc})")
endif()

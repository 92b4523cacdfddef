# Fails when the shared object LIBRARY needs at load time (a NEEDED entry of its
# dynamic section) a library whose name matches one of the regular expressions
# in the list FORBIDDEN. READELF names the readelf program.
#   cmake -DREADELF=... -DLIBRARY=... "-DFORBIDDEN=libicu;..." -P CheckNotNeeded.cmake
if(NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "CheckNotNeeded: LIBRARY names no file (${LIBRARY})")
endif()
execute_process(COMMAND "${READELF}" -d "${LIBRARY}" OUTPUT_VARIABLE _dyn ERROR_VARIABLE _err
  RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "CheckNotNeeded: ${READELF} -d ${LIBRARY} failed: ${_err}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" _lines "${_dyn}")
if(NOT _lines)
  # Every library here needs at least the C library: an empty list means the
  # output was not understood, not that the check passed.
  message(FATAL_ERROR "CheckNotNeeded: no NEEDED entries read from ${LIBRARY}")
endif()
set(_bad "")
foreach(_line ${_lines})
  string(REGEX REPLACE ".*\\[(.*)\\].*" "\\1" _name "${_line}")
  foreach(_pattern ${FORBIDDEN})
    if(_name MATCHES "${_pattern}")
      list(APPEND _bad "${_name}")
    endif()
  endforeach()
endforeach()
if(_bad)
  list(JOIN _bad ", " _bad)
  message(FATAL_ERROR "${LIBRARY}\nneeds at load time what it may load on first use only:\n"
    "${_bad}")
endif()

# Fails when the shared object LIBRARY needs (DT_NEEDED) one of the libraries
# named in FORBIDDEN: comma-separated names without ".so" and version
# ("libsystemd,libfmt"). cmake -DLIBRARY=... -DFORBIDDEN=... -P this file
cmake_minimum_required(VERSION 3.25)
if(NOT LIBRARY OR NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "CheckNeededLibraries: LIBRARY names no file")
endif()
execute_process(COMMAND readelf -d "${LIBRARY}" OUTPUT_VARIABLE _dynamic RESULT_VARIABLE _status
  ERROR_VARIABLE _error)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "CheckNeededLibraries: readelf -d ${LIBRARY} failed: ${_error}")
endif()
string(REPLACE "," ";" _forbidden "${FORBIDDEN}")
# Lines like " 0x...1 (NEEDED)  Shared library: [libcurl.so.4]".
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]+\\]" _lines "${_dynamic}")
set(_bad "")
foreach(_line ${_lines})
  string(REGEX REPLACE ".*\\[([^]]+)\\]$" "\\1" _soname "${_line}")
  string(FIND "${_soname}" ".so" _end)
  string(SUBSTRING "${_soname}" 0 ${_end} _stem)
  if(_stem IN_LIST _forbidden)
    list(APPEND _bad "${_soname}")
  endif()
endforeach()
if(_bad)
  list(JOIN _bad ", " _text)
  message(FATAL_ERROR "${LIBRARY} needs ${_text}")
endif()

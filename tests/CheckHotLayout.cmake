# Fails when the functions ORDER lists (the sections the link lays out first,
# packaging/libdiagnostics.order) are not laid out together in LIBRARY, or when
# too few of them are still in it: the list is then stale and is remade with
# scripts/hot-layout.sh. NM names the nm program.
#   cmake -DNM=... -DLIBRARY=... -DORDER=... -P CheckHotLayout.cmake
foreach(_f LIBRARY ORDER)
  if(NOT EXISTS "${${_f}}")
    message(FATAL_ERROR "CheckHotLayout: ${_f} names no file (${${_f}})")
  endif()
endforeach()
file(STRINGS "${ORDER}" _sections)
set(_wanted "")
foreach(_s ${_sections})
  # The part of a function moved out as unlikely, in .text.unlikely.NAME, is the
  # symbol NAME.cold.
  if(_s MATCHES "^\\.text\\.unlikely\\.(.+)$")
    list(APPEND _wanted "${CMAKE_MATCH_1}.cold")
    continue()
  endif()
  string(REGEX REPLACE "^\\.text\\.(startup\\.)?" "" _name "${_s}")
  list(APPEND _wanted "${_name}")
endforeach()
list(REMOVE_DUPLICATES _wanted)
list(LENGTH _wanted _listed)

execute_process(COMMAND "${NM}" -S --defined-only "${LIBRARY}" OUTPUT_VARIABLE _syms
  ERROR_VARIABLE _err RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "CheckHotLayout: ${NM} ${LIBRARY} failed: ${_err}")
endif()
string(REGEX MATCHALL "[0-9a-f]+ [0-9a-f]+ [tTwW] [^\n]+" _lines "${_syms}")
set(_found 0)
set(_total 0)
set(_seen "")
set(_blocks "")
foreach(_line ${_lines})
  string(REGEX MATCH "^([0-9a-f]+) ([0-9a-f]+) . (.+)$" _ "${_line}")
  list(FIND _wanted "${CMAKE_MATCH_3}" _at)
  if(_at EQUAL -1)
    continue()
  endif()
  # An alias (a C1 and its C2) is one function: counted once, by its address.
  math(EXPR _addr "0x${CMAKE_MATCH_1}")
  math(EXPR _size "0x${CMAKE_MATCH_2}")
  list(FIND _seen "${_addr}" _dup)
  math(EXPR _found "${_found} + 1")
  if(NOT _dup EQUAL -1)
    continue()
  endif()
  list(APPEND _seen "${_addr}")
  math(EXPR _total "${_total} + ${_size}")
  # The 64 KiB blocks it lies in: the kernel maps a file's pages around a
  # touched one in blocks of that size.
  math(EXPR _first "${_addr} / 65536")
  math(EXPR _last "(${_addr} + ${_size}) / 65536")
  foreach(_block RANGE ${_first} ${_last})
    list(APPEND _blocks ${_block})
  endforeach()
endforeach()
list(REMOVE_DUPLICATES _blocks)
list(LENGTH _blocks _touched)

# Aliases are listed by both names, and nm shows both where they exist.
math(EXPR _needed "${_listed} * 3 / 5")
if(_found LESS _needed)
  message(FATAL_ERROR "${ORDER}\nis stale: ${_found} of its ${_listed} functions are in "
    "${LIBRARY}; remake it with scripts/hot-layout.sh")
endif()
# Laid out together, they fill about as many blocks as their size needs; a few
# more are allowed for the odd one placed apart (an instrumented build's clone).
math(EXPR _allowed "(${_total} / 65536 + 1) * 3 / 2 + 2")
if(_touched GREATER _allowed)
  message(FATAL_ERROR "${LIBRARY}\ndoes not lay out its hot functions together: "
    "${_total} bytes of them lie in ${_touched} blocks of 64 KiB (at most ${_allowed})")
endif()
message(STATUS "hot functions: ${_total} bytes in ${_touched} blocks of 64 KiB "
  "(${_found} names of ${_listed})")

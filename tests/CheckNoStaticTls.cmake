# Fails when the shared object LIBRARY reaches thread-local variables through
# initial-exec relocations (R_X86_64_TPOFF64 or TPOFF32). The gold linker, which
# lays out the library's hot functions, gives some of them the offset of
# another object's variable, so that two thread-local variables share their
# storage; the library's own use TLS descriptors instead. READELF names the
# readelf program.
#   cmake -DREADELF=... -DLIBRARY=... -P CheckNoStaticTls.cmake
if(NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "CheckNoStaticTls: LIBRARY names no file (${LIBRARY})")
endif()
execute_process(COMMAND "${READELF}" -rW "${LIBRARY}" OUTPUT_VARIABLE _relocs
  ERROR_VARIABLE _err RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "CheckNoStaticTls: ${READELF} -r ${LIBRARY} failed: ${_err}")
endif()
if(NOT _relocs MATCHES "R_[A-Z0-9_]+")
  # Every shared object here has relocations: none read means the output was
  # not understood, not that the check passed.
  message(FATAL_ERROR "CheckNoStaticTls: no relocations read from ${LIBRARY}")
endif()
string(REGEX MATCHALL "R_X86_64_TPOFF(64|32)[^\n]*" _static "${_relocs}")
if(_static)
  list(LENGTH _static _count)
  list(JOIN _static "\n" _static)
  message(FATAL_ERROR "${LIBRARY}\nreaches ${_count} thread-local variables through "
    "initial-exec relocations (drop tls_model(\"initial-exec\")):\n${_static}")
endif()

# Fails when a file of the object model (DA_FOUNDATION_DIR) includes a header of
# the Linux services (platform/linux/) or of the bus (platform/bus/), or one
# generated from the services' templates (VxBuildInfo.h, VxInstallDirs.h); and,
# when DA_LINUX_DIR is given, when a file of the Linux services includes one of
# the bus, which lives in a library of its own above them. Used by
# platform/CMakeLists.txt at configure time and as a script
# (cmake -DDA_FOUNDATION_DIR=... [-DDA_LINUX_DIR=...] -P this file).
if(NOT DA_FOUNDATION_DIR OR NOT IS_DIRECTORY "${DA_FOUNDATION_DIR}")
  message(FATAL_ERROR "CheckLayering: DA_FOUNDATION_DIR names no directory")
endif()

# Appends "  <file>: <include line>" to _da_layer_bad for every include in the
# directory's sources that names a path matching `pattern`.
function(_da_layer_check dir pattern)
  file(GLOB _files "${dir}/*.h" "${dir}/*.cpp" "${dir}/*.in")
  set(_bad ${_da_layer_bad})
  foreach(_file ${_files})
    file(STRINGS "${_file}" _lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]${pattern}")
    foreach(_line ${_lines})
      get_filename_component(_name "${_file}" NAME)
      string(STRIP "${_line}" _line)
      list(APPEND _bad "  ${_name}: ${_line}")
    endforeach()
  endforeach()
  set(_da_layer_bad ${_bad} PARENT_SCOPE)
endfunction()

set(_da_layer_bad "")
_da_layer_check("${DA_FOUNDATION_DIR}"
  "([^\">]*(platform/(linux|bus)/|\\.\\./(linux|bus)/)|VxBuildInfo\\.h|VxInstallDirs\\.h)")
if(_da_layer_bad)
  list(JOIN _da_layer_bad "\n" _da_layer_text)
  message(FATAL_ERROR "The object model (platform/foundation) must not include the Linux "
    "services (platform/linux) or the bus (platform/bus):\n${_da_layer_text}")
endif()
if(DA_LINUX_DIR)
  _da_layer_check("${DA_LINUX_DIR}" "[^\">]*(platform/bus/|\\.\\./bus/)")
  if(_da_layer_bad)
    list(JOIN _da_layer_bad "\n" _da_layer_text)
    message(FATAL_ERROR "The Linux services (platform/linux) must not include the bus "
      "(platform/bus):\n${_da_layer_text}")
  endif()
endif()

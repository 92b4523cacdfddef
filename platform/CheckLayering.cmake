# Fails when a file of the object model (DA_FOUNDATION_DIR) includes a header of
# the Linux services (platform/linux/), or one generated from their templates
# (VxBuildInfo.h, VxInstallDirs.h). Used by platform/CMakeLists.txt at
# configure time and as a script (cmake -DDA_FOUNDATION_DIR=... -P this file).
if(NOT DA_FOUNDATION_DIR OR NOT IS_DIRECTORY "${DA_FOUNDATION_DIR}")
  message(FATAL_ERROR "CheckLayering: DA_FOUNDATION_DIR names no directory")
endif()
file(GLOB _da_layer_files "${DA_FOUNDATION_DIR}/*.h" "${DA_FOUNDATION_DIR}/*.cpp"
  "${DA_FOUNDATION_DIR}/*.in")
set(_da_layer_bad "")
foreach(_da_file ${_da_layer_files})
  file(STRINGS "${_da_file}" _da_lines
    REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*(platform/linux/|\\.\\./linux/)|VxBuildInfo\\.h|VxInstallDirs\\.h)")
  foreach(_da_line ${_da_lines})
    get_filename_component(_da_name "${_da_file}" NAME)
    string(STRIP "${_da_line}" _da_line)
    list(APPEND _da_layer_bad "  ${_da_name}: ${_da_line}")
  endforeach()
endforeach()
if(_da_layer_bad)
  list(JOIN _da_layer_bad "\n" _da_layer_text)
  message(FATAL_ERROR "The object model (platform/foundation) must not include the Linux "
    "services (platform/linux):\n${_da_layer_text}")
endif()

# Debian packages (`cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr; scripts/package.sh does both):
#   diagnostics      the libraries (client and bus), diagnosticsd with its units,
#                    bus files and system user, diagnosticsctl,
#                    diagnostics-refserver, man pages
#   diagnostics-dev  headers, CMake package and pkg-config files
# The client library loads libsystemd only at run time (journal lines), which
# the shared-library dependencies do not see; the bus library's sdbus-c++
# depends on it, so the package does all the same.
set(_pkg ${CMAKE_CURRENT_LIST_DIR})
set(DA_DEB_REVISION "1" CACHE STRING "Debian revision of the packages")

# Debian documentation files of both packages.
execute_process(COMMAND gzip -9nc ${_pkg}/debian/changelog
  OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
foreach(_comp runtime dev)
  set(_name diagnostics)
  if(_comp STREQUAL "dev")
    set(_name diagnostics-dev)
  endif()
  install(FILES ${_pkg}/debian/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_name} COMPONENT ${_comp})
endforeach()

# Maintainer scripts: system user and directories, unit and bus reloads.
set(DA_SYSUSERS_FILE "${CMAKE_INSTALL_PREFIX}/${DA_SYSUSERS_DIR}/diagnostics.conf")
set(DA_TMPFILES_FILE "${CMAKE_INSTALL_PREFIX}/${DA_TMPFILES_DIR}/diagnostics.conf")
set(DA_DEFAULTS_FILE "${DA_DEFAULTS_DIR}/com.tarvo.Diagnostics.json")
set(_control ${PROJECT_BINARY_DIR}/debian-control)
foreach(_script postinst prerm postrm conffiles triggers)
  configure_file(${_pkg}/debian/${_script}.in ${_control}/${_script} @ONLY)
endforeach()
file(CHMOD ${_control}/postinst ${_control}/prerm ${_control}/postrm
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)

set(CPACK_PACKAGE_NAME diagnostics)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_VENDOR "Tarvo")
set(CPACK_PACKAGE_CONTACT "Diagnostics agent maintainers <diagnostics@tarvo.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${DA_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME diagnostics)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "dbus")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${_control}/postinst ${_control}/prerm ${_control}/postrm ${_control}/conffiles
  ${_control}/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "On-device diagnostics agent: session availability service and tools\n\
diagnosticsd answers, over D-Bus, whether the device is in the diagnostics\n\
application's current session. The system service runs as the unprivileged\n\
user diagnosticsd in a systemd sandbox. Includes diagnosticsctl and the\n\
reference server diagnostics-refserver.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME diagnostics-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "diagnostics (= ${PROJECT_VERSION}-${DA_DEB_REVISION}), pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "On-device diagnostics agent: development files\n\
Headers, the CMake package (find_package(diagnostics)) and the pkg-config\n\
files of the diagnostics client library and its bus library.")

include(CPack)

# The Debian package "zem", built by CPack from the install rules (scripts/package runs it).
# Its version is the project's; dpkg-shlibdeps adds the libraries the programs link, and the
# libraries loaded at run time (libcurl, libzip, libcrypto of libssl3, the system bus) are named here.
# CPack stages with the install rules alone: scripts/package builds just the installed targets,
# not the tests and benchmarks that "all" holds.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zem)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "ZEM developers <zem@olvane.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "vehicle telematics application and its host daemon")
# The extended description; CPack puts the summary above it and indents every line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "ZEM runs remote jobs delivered as signed task containers, keeps the vehicle's
property map and a persistent database, and serves them on D-Bus.

This package holds the daemon zem-host with the application plug-in and its
libraries, the client zemctl, the system-bus policy, the systemd service and
the unit's factory content under /usr/share/zem.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build is packaged for the machine it targets, not for the one that builds it.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4, libzip4, libssl3, dbus")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
# The manual pages are compressed in the staged tree only (`cmake --install` keeps them plain),
# where the lintian overrides join them.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/StageDebian.cmake)
include(CPack)

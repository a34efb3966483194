# What `cmake --install` lays out under the prefix (and what the .deb carries under /usr):
#   bin/                          zem-host, zemctl
#   lib/                          libZem.so (the plug-in, by the name zem-host loads), libKestCommon
#                                 and libkolconfig by their SONAMEs, found through $ORIGIN/../lib
#   lib/tmpfiles.d/zem.conf       the device folders the daemon writes
#   share/zem/                    the factory content and seed-device, which lays it into a device
#   share/dbus-1/system.d/        the system-bus policy (tools/zem-host)
#   share/man/man1/, share/bash-completion/completions/, share/doc/zem/
# The lib folder is plain "lib", never the multiarch one: the programs find their libraries
# relative to themselves and the host finds its plug-in at ../lib/libZem.so.
# The example libraries stay out: they simulate a vehicle for the demo and the tests, and a unit
# loads property libraries only from its own library folder, never from the prefix.

# One version for the libraries, the programs and the package.
foreach(t kolconfig KestCommon Zem)
  set_target_properties(${t} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endforeach()

set(ZEM_LIBRARY_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(TARGETS zem-host zemctl RUNTIME DESTINATION bin)
# Nothing links against the installed libraries, so their unversioned names stay out; the
# plug-in keeps its own, the name the host loads.
install(TARGETS kolconfig KestCommon LIBRARY DESTINATION lib PERMISSIONS ${ZEM_LIBRARY_PERMISSIONS} NAMELINK_SKIP)
install(TARGETS Zem LIBRARY DESTINATION lib PERMISSIONS ${ZEM_LIBRARY_PERMISSIONS})

# The tmpfiles entry names the factory content by its installed path: configured when installed.
install(CODE "
  set(ZEM_FACTORY_DIR \"\${CMAKE_INSTALL_PREFIX}/share/zem\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/zem.tmpfiles.in\"
                 \"${PROJECT_BINARY_DIR}/packaging/installed/zem.conf\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/packaging/installed/zem.conf DESTINATION lib/tmpfiles.d)
install(FILES ${PROJECT_SOURCE_DIR}/schema/kolconfig.xsd ${PROJECT_SOURCE_DIR}/examples/config.xml
              ${PROJECT_SOURCE_DIR}/examples/database.xml ${PROJECT_SOURCE_DIR}/examples/log4cplus.kro.properties
        DESTINATION share/zem)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/jobs DESTINATION share/zem)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/seed-device DESTINATION share/zem)
foreach(page zem-host.1 zemctl.1)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.in ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page} DESTINATION share/man/man1)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/zemctl.bash-completion DESTINATION share/bash-completion/completions
        RENAME zemctl)

# The changelog is compressed reproducibly (no name, no time stamp), as Debian keeps it.
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nf -k ${PROJECT_BINARY_DIR}/packaging/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(zem_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION share/doc/zem)

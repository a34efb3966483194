# Run by CPack on the staged tree before the package is made, for what only the package carries:
# the manual pages compressed reproducibly (no name, no time stamp), as Debian ships them, and
# the lintian overrides.
set(staged "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
file(GLOB pages "${staged}/share/man/man*/*.[1-9]")
if(NOT pages)
  message(FATAL_ERROR "no manual pages staged below ${staged}")
endif()
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${page} failed: ${status}")
  endif()
endforeach()
configure_file("${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides" "${staged}/share/lintian/overrides/zem" COPYONLY)

# The unit and the tmpfiles entry were configured for the staging folder: the package names the
# paths its files have once installed.
set(ZEM_HOST_EXEC "${CPACK_PACKAGING_INSTALL_PREFIX}/bin/zem-host")
set(ZEM_FACTORY_DIR "${CPACK_PACKAGING_INSTALL_PREFIX}/share/zem")
configure_file("${CMAKE_CURRENT_LIST_DIR}/../tools/zem-host/zem-host.service.in"
               "${staged}/lib/systemd/system/zem-host.service" @ONLY)
configure_file("${CMAKE_CURRENT_LIST_DIR}/zem.tmpfiles.in" "${staged}/lib/tmpfiles.d/zem.conf" @ONLY)

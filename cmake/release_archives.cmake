# The release archives, made by CPack from what the build installs: a ZIP
# from the windows preset and a gzipped tarball from the native preset,
# named korvel_dll-VERSION-SYSTEM, each unpacking into one folder of that
# name. scripts/release.sh makes both; tests/packaging checks what is in them
# against tests/packaging/archive_files.txt.
include(GNUInstallDirs)

if(WIN32)
  set(KORVEL_ARCHIVE_SYSTEM win64)
  # A Windows folder shows its README and licence at the top.
  set(KORVEL_DOCS_DIR .)
  set(KORVEL_EXAMPLES_DIR examples)
  set(KORVEL_BINDINGS_DIR bindings)
  set(KORVEL_INSTALLED_LIBRARY ${CMAKE_INSTALL_BINDIR}/korvel_dll.dll)
  set(CPACK_GENERATOR ZIP)
else()
  set(KORVEL_ARCHIVE_SYSTEM linux-${CMAKE_SYSTEM_PROCESSOR})
  set(KORVEL_DOCS_DIR ${CMAKE_INSTALL_DOCDIR})
  set(KORVEL_EXAMPLES_DIR ${CMAKE_INSTALL_DOCDIR}/examples)
  set(KORVEL_BINDINGS_DIR ${CMAKE_INSTALL_DATADIR}/korvel_dll/bindings)
  set(KORVEL_INSTALLED_LIBRARY ${CMAKE_INSTALL_LIBDIR}/libkorvel_dll.so.${PROJECT_VERSION})
  set(CPACK_GENERATOR TGZ)
endif()
# The archive's own README (the repository's speaks of scripts and build
# folders an archive does not have), the licence and the changes.
configure_file(cmake/archive/README-${KORVEL_ARCHIVE_SYSTEM}.md.in
  ${PROJECT_BINARY_DIR}/archive/README.md @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/archive/README.md LICENSE CHANGELOG.md
  DESTINATION ${KORVEL_DOCS_DIR})
install(DIRECTORY examples/host DESTINATION ${KORVEL_EXAMPLES_DIR})

# The bindings: Korvel.cs with its sample, and the korvel wheel made around
# the library just installed (so the stripped one, when CPack installs), for
# this archive's system.
install(FILES bindings/dotnet/Korvel.cs bindings/dotnet/Sample.cs
  DESTINATION ${KORVEL_BINDINGS_DIR}/dotnet)
install(CODE "
  set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  message(STATUS \"Making the korvel wheel: \${root}/${KORVEL_BINDINGS_DIR}/python\")
  execute_process(
    COMMAND ${PROJECT_SOURCE_DIR}/bindings/python/build_wheel.sh
            \"\${root}/${KORVEL_INSTALLED_LIBRARY}\" \"\${root}/${KORVEL_BINDINGS_DIR}/python\"
            ${PROJECT_VERSION}
    COMMAND_ERROR_IS_FATAL ANY)")

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Drives an MDB interface adapter on a serial port")
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${KORVEL_ARCHIVE_SYSTEM})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# The native preset builds with debug information for the tests; the
# archives carry the programs and libraries without it. The Windows files
# are stripped when they are linked (their debug information is in the
# PDBs), and scripts/release.sh may sign them after: a strip here would
# break the signature.
if(WIN32)
  set(CPACK_STRIP_FILES OFF)
else()
  set(CPACK_STRIP_FILES ON)
endif()
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

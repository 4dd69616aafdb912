# Installation layout and the Debian package (scripts/package builds it).
#
#   /usr/bin/kestrel                      run path $ORIGIN/../lib/kestrel, so an
#   /usr/lib/kestrel/libsqlserial.so      unpacked tree works wherever it lies
#   /usr/share/kestrel/web                the console's pages
#   /usr/share/kestrel/db                 schemas, create-datasource, seed-demo
#   /lib/systemd/system/kestrel.service   written by the settings sheet's own code
#   /usr/share/man/man8/kestrel.8.gz
include(GNUInstallDirs)

# A private library: lib/kestrel, not the multiarch folder of public ones.
set_target_properties(kestrel PROPERTIES INSTALL_RPATH "\$ORIGIN/../lib/kestrel")
# Full RELRO, as Debian builds its own programs.
target_link_options(kestrel PRIVATE "LINKER:-z,relro,-z,now")
target_link_options(sqlserial PRIVATE "LINKER:-z,relro,-z,now")
install(TARGETS kestrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS sqlserial LIBRARY DESTINATION lib/kestrel)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/console/web/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrel/web)
install(FILES ${CMAKE_SOURCE_DIR}/db/schema-sqlite.sql ${CMAKE_SOURCE_DIR}/db/schema-postgresql.sql
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrel/db)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/db/create-datasource ${CMAKE_SOURCE_DIR}/db/seed-demo
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrel/db)

# The unit comes from the same function as the settings sheet's.
set(KESTREL_SERVICE_ACCOUNT kestrel)
set(KESTREL_STATE_DIR /var/lib/kestrel)
add_executable(kestrel_unit ${CMAKE_SOURCE_DIR}/packaging/print_unit.cpp)
target_link_libraries(kestrel_unit PRIVATE kestrel_platform)
set(kestrel_unit_file ${CMAKE_BINARY_DIR}/packaging/kestrel.service)
add_custom_command(OUTPUT ${kestrel_unit_file}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND kestrel_unit ${CMAKE_INSTALL_FULL_BINDIR}/kestrel ${KESTREL_SERVICE_ACCOUNT}
          ${KESTREL_STATE_DIR}/Kestrel.ini ${KESTREL_STATE_DIR}/odbc.ini > ${kestrel_unit_file}
  DEPENDS kestrel_unit
  VERBATIM)

# Debian wants manual pages and changelogs compressed, without time stamps.
set(kestrel_man ${CMAKE_BINARY_DIR}/packaging/kestrel.8.gz)
add_custom_command(OUTPUT ${kestrel_man}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/kestrel.8 > ${kestrel_man}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/kestrel.8
  VERBATIM)
set(kestrel_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${kestrel_changelog}
  COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog > ${kestrel_changelog}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(kestrel_package_files ALL DEPENDS ${kestrel_unit_file} ${kestrel_man} ${kestrel_changelog})

install(FILES ${kestrel_unit_file} DESTINATION /lib/systemd/system)
install(FILES ${kestrel_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${kestrel_changelog}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestrel)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Larkspur Systems <kestrel@larkspur-systems.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "FTP server whose file tree and users live in an ODBC database")
set(CPACK_PACKAGE_DESCRIPTION "Kestrel serves FTP clients from a virtual tree of directories, files and links
kept in a relational database reached through ODBC (SQLite or PostgreSQL),
with domains, users, groups, permissions, ratios, quotas and an activity log.
The same program serves a web administration console and metrics.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
# Libraries linked at build time come from dpkg-shlibdeps; the driver manager
# is loaded by name at run time, so it is named here with the drivers and tools.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libsqlserial.so is ours: dpkg-shlibdeps finds it here rather than in a package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/sqlserial)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libodbc2, unixodbc, libsqliteodbc, sqlite3, adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "odbc-postgresql, postgresql-client")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The unit's folder lies outside the prefix: stage the whole tree under DESTDIR.
set(CPACK_SET_DESTDIR ON)
include(CPack)

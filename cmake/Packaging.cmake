# The Debian package kalvix: the three programs, the database scripts, the systemd unit, a
# default settings file in /etc/kalvix and the kalvix service account (dist/debian/).
#
#   cmake -S . -B build-deb -G Ninja -DKALVIX_PACKAGE=ON
#   cmake --build build-deb && (cd build-deb && cpack -G DEB)
#
# gives build-deb/kalvix_<version>_amd64.deb; scripts/package-check.sh builds, lints,
# installs and purges it. The normal build builds nothing more for it: the install rules run
# only under `cmake --install` and cpack, and configuring compresses four small files.
# The unit and the settings file have absolute destinations (/lib/systemd/system,
# /etc/kalvix), as the package needs them, whatever the install prefix.
include(GNUInstallDirs)

set(KALVIX_DEB_DIR ${PROJECT_SOURCE_DIR}/dist/debian)

install(TARGETS kalvixd kalvixsrv kalvix-plantsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# As dh_strip does: a stripped program also loses the compilers' .comment and .note sections.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(program kalvixd kalvixsrv kalvix-plantsim)
      execute_process(
        COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
        COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")
install(FILES ${PROJECT_SOURCE_DIR}/db/schema.sql ${PROJECT_SOURCE_DIR}/db/default_plant.sql
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kalvix/db)
# Debian 12 keeps the units of packages in /lib, and the settings in /etc whatever the prefix.
install(FILES ${PROJECT_SOURCE_DIR}/dist/kalvixd.service DESTINATION /lib/systemd/system)
install(FILES ${KALVIX_DEB_DIR}/kalvixsrv.ini DESTINATION /etc/kalvix)

# The changelog and the manual pages go into the package compressed, as Debian wants them;
# gzip -n keeps the time stamp out, so the same sources give the same package.
set(KALVIX_DEB_GENERATED ${PROJECT_BINARY_DIR}/debian)
configure_file(${KALVIX_DEB_DIR}/changelog.in ${KALVIX_DEB_GENERATED}/changelog @ONLY)
set(KALVIX_DEB_MANPAGES kalvixd.8 kalvixsrv.1 kalvix-plantsim.1)
foreach(page IN LISTS KALVIX_DEB_MANPAGES)
  configure_file(${KALVIX_DEB_DIR}/${page} ${KALVIX_DEB_GENERATED}/${page} COPYONLY)
endforeach()
foreach(file changelog ${KALVIX_DEB_MANPAGES})
  execute_process(COMMAND gzip -9nf ${KALVIX_DEB_GENERATED}/${file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
install(FILES ${KALVIX_DEB_GENERATED}/changelog.gz ${KALVIX_DEB_DIR}/copyright
              ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/DEFAULT_PLANT.md
              ${PROJECT_SOURCE_DIR}/docs/RELIABILITY.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kalvix)
foreach(page IN LISTS KALVIX_DEB_MANPAGES)
  string(REGEX REPLACE ".*\\." "" section ${page})
  install(FILES ${KALVIX_DEB_GENERATED}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kalvix)
set(CPACK_PACKAGE_VENDOR "KALVIX")
set(CPACK_PACKAGE_CONTACT "Seed 3d655c9e maintainers <maintainers@users.noreply.c-seed-3d655c9e.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "plant instrument reception service for a MariaDB database")
# Lines of at most 79 characters, as Debian wants them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "KALVIX polls the instruments of a dense-medium separation plant on their\n"
  "serial lines (JUMO controllers over Modbus RTU, a V120 programmable\n"
  "controller and a BK-003 belt-weigher), converts the readings through\n"
  "calibration tables and writes the current state every second and one history\n"
  "row per minute to a MariaDB or MySQL database. It passes the operators'\n"
  "set-points from the database to the controllers.\n"
  "\n"
  "The package holds the headless service kalvixd with its systemd unit, the\n"
  "window program kalvixsrv, the simulated plant kalvix-plantsim and the\n"
  "database installation scripts. The service runs as the system user kalvix,\n"
  "a member of dialout.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The maintainer scripts create the account with adduser; the libraries come from
# dpkg-shlibdeps and are added to this list.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KALVIX_DEB_DIR}/conffiles ${KALVIX_DEB_DIR}/postinst ${KALVIX_DEB_DIR}/prerm
    ${KALVIX_DEB_DIR}/postrm)
# Maintainer scripts 0755 and the conffiles list 0644, whatever the checkout's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Directories that the package creates are 0755 root, as Debian expects.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

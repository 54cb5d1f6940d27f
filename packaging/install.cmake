# What `cmake --install` (and so the Debian package) puts on a system: the
# server and the numerator where system daemons live, the clients in the user
# path, the working-directory preparation, the units, the backup script and
# the manual pages.
include(GNUInstallDirs)

set(VELMOR_VERSION "1.0.0" CACHE STRING "Version written to the installed version file")
set(VELMOR_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING "Where the systemd units go")
set(VELMOR_LIBEXECDIR "lib/velmor" CACHE STRING "Private helpers and the version file")

install(TARGETS velmor-central velmor-numerator RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS velmor-cli velmor-local RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(PROGRAMS scripts/prepare-workdir.sh DESTINATION ${VELMOR_LIBEXECDIR} RENAME prepare-workdir)
install(PROGRAMS packaging/velmor-backup DESTINATION ${CMAKE_INSTALL_SBINDIR})

# BIN/version of an installed working directory links here, so versionTAVR
# reports the installed version after every upgrade.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/version "${VELMOR_VERSION}\nLinux\n")
install(FILES ${CMAKE_BINARY_DIR}/packaging/version DESTINATION ${VELMOR_LIBEXECDIR})

install(FILES packaging/velmor-central.service packaging/velmor-backup.service
              packaging/velmor-backup.timer
        DESTINATION ${VELMOR_SYSTEMD_UNITDIR})
install(FILES packaging/velmor-backup.default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
        RENAME velmor-backup)

install(FILES packaging/man/velmor-cli.1 packaging/man/velmor-local.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/man/velmor-central.8 packaging/man/velmor-numerator.8 packaging/man/velmor-backup.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

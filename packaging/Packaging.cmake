# The Debian package: `cpack` in a build directory writes orlofirmwareupdate_<version>_<arch>.deb
# with what the install rules install, and only that: the window and the command line, their
# manuals, the udev rule, the desktop entry, the AppStream metadata and the icon. The demo, the
# tests and the benchmarks have no install rule.
set(ORLO_PACKAGE_NAME orlofirmwareupdate)

# What Debian wants in /usr/share/doc/<package>: the machine-readable copyright, and the changelog
# gzipped without name or time stamp (-n), so that the same source gives the same bytes.
set(orlo_changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${orlo_changelog}
    COMMAND gzip -n -9 -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${orlo_changelog}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
    COMMENT "Compressing the package's changelog")
add_custom_target(orlo-package-changelog ALL DEPENDS ${orlo_changelog})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${orlo_changelog}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ORLO_PACKAGE_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ORLO_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the ORLOFirmwareUpdate developers")
set(CPACK_PACKAGE_CONTACT
    "ORLOFirmwareUpdate developers <orlo-firmware-update@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update for the Orlo FireWire video device")
# Lines of at most 80 characters; CPack puts the summary before them.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Finds the Orlo, an external FireWire (IEEE 1394) video I/O device, shows the
firmware it runs and its serial number, and programs the two images compiled
into it: the FPGA bitstream and the M-CORE program. An update holds the Orlo
for its whole length, rides out bus resets, and outlives a lost display, quit
signals and suspend requests.
.
The package holds the window ORLOFirmwareUpdate, its command-line twin
orlo-firmware-update, and the udev rule that lets the user at the seat update
an Orlo without root.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://orlofirmwareupdate.example.org/")
# Depends from the libraries the programs link (dpkg-shlibdeps, Debian package dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Where installed, RealtimeKit gives the update's thread real-time scheduling, for steady pauses
# on a busy machine; without it an update still works.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "rtkit")
set(CPACK_STRIP_FILES ON)

# Installed under /usr, so the udev rule lands in /usr/lib/udev/rules.d where udev reads it.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/postrm)
# The maintainer scripts 0755 and the control files 0644, whatever the checkout's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)

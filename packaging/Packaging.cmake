# The Debian packages: `cpack` in a build directory writes two, from what the install rules put in
# each component, and only that:
#   orlo-firmware-update (component cli): the command line, its manual and the udev rule; it needs
#     Qt Core and D-Bus only, for an edit-suite host without a desktop or a configuration tool;
#   orlofirmwareupdate (component window): the window, its manual, desktop entry, AppStream
#     metadata and icon; it depends on the first, whose udev rule it needs too.
# The demo, the tests and the benchmarks have no install rule.
#
# A fresh build of one commit gives the same bytes: the archives' times are the time the build
# stands for (ORLO_SOURCE_DATE_EPOCH, the last commit's), the compressed files carry no time
# stamp, rcc records no file times and the compiler maps the source and build directories away.
set(ORLO_CLI_PACKAGE orlo-firmware-update)
set(ORLO_WINDOW_PACKAGE orlofirmwareupdate)

# What Debian wants in /usr/share/doc/<package> of each: the machine-readable copyright, and the
# changelog gzipped without name or time stamp (-n).
set(orlo_changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${orlo_changelog}
    COMMAND gzip -n -9 -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${orlo_changelog}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
    COMMENT "Compressing the packages' changelog")
add_custom_target(orlo-package-changelog ALL DEPENDS ${orlo_changelog})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${orlo_changelog}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ORLO_CLI_PACKAGE} COMPONENT cli)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${orlo_changelog}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ORLO_WINDOW_PACKAGE} COMPONENT window)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ORLO_WINDOW_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the ORLOFirmwareUpdate developers")
set(CPACK_PACKAGE_CONTACT
    "ORLOFirmwareUpdate developers <orlo-firmware-update@users.noreply.invalid>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli window)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://orlofirmwareupdate.example.org/")
set(CPACK_DEBIAN_PACKAGE_SOURCE ${ORLO_WINDOW_PACKAGE})
# Depends from the libraries the programs link (dpkg-shlibdeps, Debian package dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

# Each description: the summary, then lines of at most 80 characters.
set(orlo_about
    "It finds the Orlo, an external FireWire (IEEE 1394) video I/O device, shows the
firmware it runs and its serial number, and programs the two images compiled
into it: the FPGA bitstream and the M-CORE program. An update holds the Orlo
for its whole length, rides out bus resets, and outlives quit signals and
suspend requests.")
set(CPACK_DEBIAN_CLI_PACKAGE_NAME ${ORLO_CLI_PACKAGE})
set(CPACK_DEBIAN_CLI_DESCRIPTION
    "firmware update for the Orlo FireWire video device (command line)
${orlo_about}
.
This package holds the command line, orlo-firmware-update, for terminals, ssh
sessions and scripts, and the udev rule that lets the user at the seat update
an Orlo without root. The window is in the package ${ORLO_WINDOW_PACKAGE}.")
# Where installed, RealtimeKit gives the update's thread real-time scheduling, for steady pauses
# on a busy machine; without it an update still works.
set(CPACK_DEBIAN_CLI_PACKAGE_RECOMMENDS "rtkit")
# The maintainer scripts apply the udev rule, which is this package's.
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/postrm)

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME ${ORLO_WINDOW_PACKAGE})
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
    "firmware update for the Orlo FireWire video device (window)
${orlo_about}
.
This package holds the window, ORLOFirmwareUpdate, with its desktop entry and
AppStream metadata. Its command-line twin is in ${ORLO_CLI_PACKAGE}.")
# The command line's package brings the udev rule the window needs too; Qt's SVG plug-ins draw
# the window's icon, which no linked library pulls in.
set(CPACK_COMPONENT_WINDOW_DEPENDS cli)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "libqt6svg6")

# Installed under /usr, so the udev rule lands in /usr/lib/udev/rules.d where udev reads it.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# The maintainer scripts 0755 and the control files 0644, whatever the checkout's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Read by cpack for each package: sets SOURCE_DATE_EPOCH when the caller has not.
set(CPACK_ORLO_SOURCE_DATE_EPOCH ${ORLO_SOURCE_DATE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/SourceDate.cmake)

include(CPack)

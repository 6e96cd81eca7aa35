# A Debian package of the programs, the pxraid-monitor service with its
# options file, pxraidd's service with its bus policy and interfaces, the man page, the desktop entry and icon, and the alert rules:
#   cpack --config build/release/CPackConfig.cmake -B build/release/package
include(GNUInstallDirs)

set(PX_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/px-raid-utility)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/contrib/debian/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/contrib/debian/changelog)
add_custom_target(px_package_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/debian/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${PX_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME px-raid-utility)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "PX RAID Utility maintainers <maintainers@px-raid-utility.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "manage and monitor two-disk USB RAID enclosures")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "For USB enclosures whose controller joins two SATA disks into one volume:
pxgui shows the enclosures' state, keeps a daily event log and upgrades the
controller's firmware; pxraid does the same from the command line and, as
the pxraid-monitor service, raises alerts (a program, mail, the journal)
and writes metrics for Prometheus, whose alert rules come along; or, as
pxraidd, does the same, serves the enclosures' state to every user on
the D-Bus system bus and runs firmware jobs for those polkit allows.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's face: Arial's metrics, which its layout was drawn for. The
# libraries found by shlibdeps are added to it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2")
# polkit decides who may have pxraidd run firmware jobs; without it only
# root may.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6svg6, polkitd")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "prometheus-node-exporter, default-mta | mail-transport-agent")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/contrib/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Installed under /usr with absolute paths intact, so that the service's
# unit names /usr/bin/pxraid and its options file lands in /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)

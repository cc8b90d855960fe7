# The Debian package (make package): the installed tree under /opt/quenvar, the menu entry,
# a /usr/bin/quenvar link to the launcher, the licence, changelog and manual page, with the Qt
# libraries as dependencies; its postinst grants the program port 80.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quenvar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quenvar <quenvar@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Gateway between a model railway CAN bus and TCP/UDP port 15731")
set(CPACK_PACKAGE_DESCRIPTION "Quenvar relays the 13-byte CAN frames of the track box's serial interface
to a TCP client and UDP clients on port 15731, and serves a folder of the
user's over HTTP. One window with German texts; it can also start without one
(quenvar --open --connect).")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/quenvar)
# The install step then sees the real prefix, which the menu entry and the examples name.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window needs a platform plugin (xcb, or offscreen without a display), which no
# library names as a dependency.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# setcap, with which the package lets every user's program open port 80.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libcap2-bin")
configure_file(packaging/postinst.in packaging/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/packaging/postinst")
include(CPack)

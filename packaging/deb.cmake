# The Debian package: `cpack -G DEB` in a build directory (after the build) gives
# velweb_VERSION_ARCH.deb. It installs the program directory /opt/velweb, the unit
# velweb.service in /lib/systemd/system, the manual pages and velweb and velctl in
# /usr/bin (links into the program directory). Its maintainer scripts create the user
# velweb and the group velmar, hand the directory to that group (the files the server
# writes become velweb's; the program files stay root's), and remove what the server
# wrote, and the user, when the package is purged.
set(VELWEB_PACKAGE_DIR /opt/velweb)

file(STRINGS ${PROJECT_SOURCE_DIR}/common/version.h version_line REGEX "kVersionText = \"")
string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" VELWEB_VERSION_TEXT "${version_line}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velweb)
set(CPACK_PACKAGE_VERSION ${VELWEB_VERSION_TEXT})
set(CPACK_PACKAGE_VENDOR "Velmar")
set(CPACK_PACKAGE_CONTACT "Velmar Web Server developers <velweb@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Velmar Web Server: free-text messages from a browser to the alarm server")
set(CPACK_PACKAGE_DESCRIPTION
    "A small web server through which people on a network send free-text messages to the \
receivers of an alarm server on the same machine, with libVelmar.so, the shared \
exchange library of the Velmar programs, and velctl, its command line.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${VELWEB_PACKAGE_DIR})
set(CPACK_INSTALL_PREFIX ${VELWEB_PACKAGE_DIR})
set(CPACK_SET_DESTDIR ON)  # the unit is written for the real prefix, not the staging one
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${VELWEB_DIST_DIR})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb_layout.cmake)
# Read by deb_layout.cmake, which runs inside cpack.
set(CPACK_VELWEB_PACKAGE_DIR ${VELWEB_PACKAGE_DIR})
include(CPack)

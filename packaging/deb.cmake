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
set(VELWEB_MAINTAINER "Velmar Web Server maintainers <velweb@velmar.example.org>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${VELWEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELWEB_MAINTAINER}")
# The synopsis, then the extended description (cpack indents its lines; "." parts
# paragraphs).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
   "web server that passes free-text messages to an alarm server
Velmar Web Server serves a small web site through which people on a network
send free-text messages to the receivers of a Velmar alarm server on the same
machine: a form lists the receivers, and each message posted (from a browser,
or as JSON from a monitoring system) is handed to the alarm server as a
command through a shared-memory exchange and logged.
.
The package holds the server velweb (a desktop window, or a systemd service
without a display), libVelmar.so, the shared exchange library of the Velmar
programs, and velctl, which plays the alarm server's side of the exchange from
the command line. It offers access rules, a send limit, a password, metrics
for Prometheus and a health check.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${VELWEB_PACKAGE_DIR})
set(CPACK_INSTALL_PREFIX ${VELWEB_PACKAGE_DIR})
set(CPACK_SET_DESTDIR ON)  # the unit is written for the real prefix, not the staging one
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${VELWEB_DIST_DIR})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd, init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb_layout.cmake)
# Read by deb_layout.cmake, which runs inside cpack.
set(CPACK_VELWEB_PACKAGE_DIR ${VELWEB_PACKAGE_DIR})
set(CPACK_VELWEB_DEBIAN_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)
include(CPack)

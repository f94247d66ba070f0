# The Debian packages: `cpack -G DEB` in a build directory (after the build) gives two.
#
# - velmar-exchange_VERSION_ARCH.deb: libVelmar.so and velctl in the program directory
#   /opt/velweb, velctl in /usr/bin (a link) and velctl(1). The alarm server and the other
#   programs of the family load the library from there, so it stays when velweb goes.
# - velweb_VERSION_ARCH.deb, which depends on it: the server velweb, the site, the unit
#   velweb.service in /lib/systemd/system, velweb in /usr/bin (a link) and velweb(1).
#   Its maintainer scripts create the user velweb and the group velmar, hand the
#   directory to that group (root's own server files left by a start by hand become
#   velweb's; no other file changes hands), and remove what the server wrote (never the
#   receiver file, which is the alarm server's), and the user, when it is purged.
#
# Every mode in them is set here (0644 files, 0755 programs and directories), not copied
# from the source tree, and they hold no directory /opt of their own: a purge never takes
# it away.
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
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL velweb velmar)
set(CPACK_DEBIAN_PACKAGE_SOURCE velweb)
set(CPACK_DEBIAN_VELWEB_PACKAGE_NAME velweb)
set(CPACK_DEBIAN_VELMAR_PACKAGE_NAME velmar-exchange)
# The synopsis, then the extended description (cpack indents its lines; "." parts
# paragraphs).
set(CPACK_DEBIAN_VELWEB_DESCRIPTION
   "web server that passes free-text messages to an alarm server
Velmar Web Server serves a small web site through which people on a network
send free-text messages to the receivers of a Velmar alarm server on the same
machine: a form lists the receivers, and each message posted (from a browser,
or as JSON from a monitoring system) is handed to the alarm server as a
command through a shared-memory exchange and logged.
.
The package holds the server velweb (a desktop window, or a systemd service
without a display). It offers access rules, a send limit, a password, metrics
for Prometheus and a health check.")
set(CPACK_DEBIAN_VELMAR_DESCRIPTION
   "shared exchange library of the Velmar programs
libVelmar.so is the library through which the Velmar alarm server and its
companion programs share a system log, a command buffer, debug and tree-view
queues, a system-information text and running-application flags, and print on
parallel ports. It lies in the program directory /opt/velweb, where the
programs of the family load it.
.
The package also holds velctl, which plays the alarm server's side of the
exchange from the command line.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${VELWEB_PACKAGE_DIR})
set(CPACK_INSTALL_PREFIX ${VELWEB_PACKAGE_DIR})
set(CPACK_SET_DESTDIR ON)  # the unit is written for the real prefix, not the staging one
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${VELWEB_DIST_DIR})
set(CPACK_DEBIAN_VELWEB_PACKAGE_DEPENDS
    "velmar-exchange (= ${VELWEB_VERSION_TEXT}), passwd, init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_VELWEB_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb_layout.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb_finish.cmake)
# Read by deb_layout.cmake, which runs inside cpack.
set(CPACK_VELWEB_PACKAGE_DIR ${VELWEB_PACKAGE_DIR})
set(CPACK_VELWEB_DEBIAN_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)
include(CPack)

# `make package` (cpack -G DEB): one Debian binary package with the three programs, their manual
# pages, the documentation and the copyright file. The package build links the shared Debian
# libraries (HALVORINE_STATIC_LIBRARIES=OFF, see the Makefile); its runtime dependencies are
# computed by dpkg-shlibdeps from the programs themselves.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${HALVORINE_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Halvorine contributors")
set(CPACK_PACKAGE_CONTACT "${HALVORINE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "child-process helpers for desktop input, screenshots and files")
set(CPACK_PACKAGE_DESCRIPTION
"Three small programs that a host application starts as child processes. Each
reads JSON on standard input and writes one JSON line per answer.
.
HalvorineInputHelper injects pointer, scroll, key and Unicode text input on an
X11 desktop (XTEST), reports whether it may do so, and takes JPEG screenshots
of a RandR monitor, leaving out frames that did not change.
.
HalvorineFileTransferHelper finishes a received file (move without replacing,
atomic replace, set or read the download-quarantine attribute) after strict
path and ownership checks; it refuses to run as root.
.
HalvorineIdentityMigrationHelper answers every start with one fixed line.
.
The programs are installed in /usr/libexec/halvorine/.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${HALVORINE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The input helper opens libxkbcommon itself when text first needs its keysym tables (dlopen), so
# dpkg-shlibdeps cannot see it; without it text falls back to the plain keymap lookup.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libxkbcommon0")
# Files are owned by root in the archive whoever builds it.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build[^/]*/")
include(CPack)

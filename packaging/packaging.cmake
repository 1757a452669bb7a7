# What `make install` and the Debian package install, and the package itself (CPack).

include(GNUInstallDirs)

set(QUILLET_MAINTAINER "Quillet developers <quillet@example.org>")

# The man page carries the project's version; man pages and changelogs are installed compressed,
# as Debian's policy asks (-n: no time stamp, so the package is reproducible).
configure_file(${PROJECT_SOURCE_DIR}/packaging/quillet.1.in ${PROJECT_BINARY_DIR}/quillet.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/quillet-compare.1.in
               ${PROJECT_BINARY_DIR}/quillet-compare.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/quillet-inventory.1.in
               ${PROJECT_BINARY_DIR}/quillet-inventory.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_BINARY_DIR}/changelog COPYONLY)

# The machine-readable copyright file, its license text taken from LICENSE.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE QUILLET_LICENSE_TEXT)
string(REGEX REPLACE "^MIT License\n\n" "" QUILLET_LICENSE_TEXT "${QUILLET_LICENSE_TEXT}")
string(REGEX REPLACE "\n+$" "" QUILLET_LICENSE_TEXT "${QUILLET_LICENSE_TEXT}")
string(REPLACE "\n\n" "\n.\n" QUILLET_LICENSE_TEXT "${QUILLET_LICENSE_TEXT}")
string(REPLACE "\n" "\n " QUILLET_LICENSE_TEXT "${QUILLET_LICENSE_TEXT}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${PROJECT_BINARY_DIR}/copyright @ONLY)

add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/quillet.1.gz ${PROJECT_BINARY_DIR}/quillet-compare.1.gz
         ${PROJECT_BINARY_DIR}/quillet-inventory.1.gz ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nkf quillet.1 quillet-compare.1 quillet-inventory.1 changelog
  DEPENDS ${PROJECT_BINARY_DIR}/quillet.1 ${PROJECT_BINARY_DIR}/quillet-compare.1
          ${PROJECT_BINARY_DIR}/quillet-inventory.1 ${PROJECT_BINARY_DIR}/changelog
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  VERBATIM)
add_custom_target(quillet_docs ALL DEPENDS ${PROJECT_BINARY_DIR}/quillet.1.gz
                                           ${PROJECT_BINARY_DIR}/quillet-compare.1.gz
                                           ${PROJECT_BINARY_DIR}/quillet-inventory.1.gz
                                           ${PROJECT_BINARY_DIR}/changelog.gz)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS quillet quillet-compare quillet-inventory RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/quillet.1.gz ${PROJECT_BINARY_DIR}/quillet-compare.1.gz
              ${PROJECT_BINARY_DIR}/quillet-inventory.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUILLET_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # quillet_<version>_<architecture>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends is computed from the binary by dpkg-shlibdeps (package dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list the version information of Windows program files")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quillet walks a directory tree and, for every .exe, .dll or .ocx file that
carries a version resource, writes one tab-separated line: product name,
company name, file version, last-modified date and time (UTC) and path.
It reads the version resource out of PE32, PE32+ and 16-bit NE files
itself, so it audits a mounted Windows volume, a Wine prefix, a software
share or a forensic image without Windows. Its companion quillet-compare
tells what was added, removed or changed between two listings, and
quillet-inventory writes every version value of each file (strings, fixed
versions, flags, machine, an optional SHA-256) as JSON Lines, CSV or
SQLite records for scripts and fleets, from directories or from disk
images (raw, E01, VMDK, VHD, AFF) read through The Sleuth Kit without
mounting them.")
# lintian reports no error and no warning. Left as information only: the banner's word
# "Informations" (the tool's own text, kept as it is) and the compiler's .comment section.
include(CPack)

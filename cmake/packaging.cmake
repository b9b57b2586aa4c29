# Linux packages: a .deb and a .tar.gz, named after the project's version.
# Built reproducibly by scripts/release (SOURCE_DATE_EPOCH, fixed paths).
set(CPACK_PACKAGE_NAME sarnelux)
set(CPACK_PACKAGE_VENDOR "the Sarnelux project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "remove the UTF-8 byte order mark from every file in a folder tree")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_FILE_NAME sarnelux-${PROJECT_VERSION}-linux-x86_64)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${SARNELUX_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The C++ runtime is linked in; what remains (the C library) is found by
# dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Sarnelux walks a folder tree and rewrites, in place, every file that begins
with the UTF-8 byte order mark (EF BB BF) without those three bytes; every
other file is only looked at. A rewrite that fails puts the original bytes
back. With --list it only lists the marks it finds and exits 1 when there is
one, for use in a build.")

include(CPack)

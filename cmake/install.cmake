# What an install puts under the prefix, laid out and compressed as Debian
# ships it: the program (an install with --strip, as the packages are made,
# also drops the compiler's notes lintian counts as unneeded), the manual
# page and the changelog gzipped reproducibly, and the licence as the
# copyright file.

# The packages' Maintainer field and changelog trailer. The project has no
# mail host of its own; a name under .invalid (reserved, never delivered)
# claims no one else's. Whoever ships a build sets their own address here.
set(SARNELUX_MAINTAINER "the Sarnelux project <maintainers@sarnelux.invalid>"
    CACHE STRING "Name <address> of whoever ships the packages")

install(TARGETS sarnelux RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\"
      --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/sarnelux\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()")

set(gzip_file ${PROJECT_SOURCE_DIR}/cmake/gzip_file.cmake)
add_custom_command(OUTPUT sarnelux.1.gz
  COMMAND ${CMAKE_COMMAND} -DIN=sarnelux.1 -DOUT=sarnelux.1.gz -P ${gzip_file}
  DEPENDS ${PROJECT_BINARY_DIR}/sarnelux.1 ${gzip_file} VERBATIM)
add_custom_command(OUTPUT changelog
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/CHANGELOG.md
          -DOUT=changelog -DPACKAGE=${PROJECT_NAME}
          -DMAINTAINER=${SARNELUX_MAINTAINER}
          -P ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.cmake VERBATIM)
add_custom_command(OUTPUT changelog.gz
  COMMAND ${CMAKE_COMMAND} -DIN=changelog -DOUT=changelog.gz -P ${gzip_file}
  DEPENDS ${PROJECT_BINARY_DIR}/changelog ${gzip_file} VERBATIM)
add_custom_target(sarnelux_docs ALL
  DEPENDS ${PROJECT_BINARY_DIR}/sarnelux.1.gz ${PROJECT_BINARY_DIR}/changelog.gz)

install(FILES ${PROJECT_BINARY_DIR}/sarnelux.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

# What `cmake --install` puts where (DESTDIR and --prefix both apply).
#
# The programs are started by a host application, not by a person, so they go to libexec, where a
# host finds them at one fixed path: <prefix>/libexec/halvorine/ (/usr/libexec/halvorine/ from the
# Debian package). The manual pages are the reference for their wire protocols.

# Debian keeps a package's documentation under the package's own name.
set(HALVORINE_PACKAGE_NAME halvorine-helpers)
set(HALVORINE_PACKAGE_MAINTAINER "Halvorine contributors <maintainers@halvorine.invalid>"
    CACHE STRING "Maintainer of the Debian package and of its change log entries")
set(CMAKE_INSTALL_DOCDIR "share/doc/${HALVORINE_PACKAGE_NAME}" CACHE PATH
    "Documentation (DATAROOTDIR/doc/${HALVORINE_PACKAGE_NAME})")
include(GNUInstallDirs)
set(HALVORINE_INSTALL_PROGRAM_DIR "${CMAKE_INSTALL_LIBEXECDIR}/halvorine")
set(HALVORINE_RELEASE_DATE 2026-12-10)

install(TARGETS HalvorineInputHelper HalvorineFileTransferHelper HalvorineIdentityMigrationHelper
        RUNTIME DESTINATION "${HALVORINE_INSTALL_PROGRAM_DIR}")
# The Wayland backend module goes beside the input helper, which looks for it there.
if(TARGET halvorine_wayland_module)
  install(TARGETS halvorine_wayland_module LIBRARY DESTINATION "${HALVORINE_INSTALL_PROGRAM_DIR}")
endif()

# Manual pages and the change log are installed compressed with gzip -9n, as Debian wants them
# (no name, no time stamp: the same bytes on every build). man reads them as they are.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(HALVORINE_MAN_PAGES HalvorineInputHelper HalvorineFileTransferHelper
    HalvorineIdentityMigrationHelper)
set(man_outputs)
foreach(page IN LISTS HALVORINE_MAN_PAGES)
  # The page carries the version and release date; the configured copy is what is rendered.
  configure_file(man/${page}.1 ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.1.gz
    COMMAND ${GZIP_PROGRAM} -9nkf ${CMAKE_BINARY_DIR}/man/${page}.1
    DEPENDS ${CMAKE_BINARY_DIR}/man/${page}.1
    COMMENT "Compressing manual page ${page}(1)")
  list(APPEND man_outputs ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
endforeach()
# The change log is installed in Debian's changelog format, which a native package must carry:
# each "## VERSION (DATE)" section of CHANGELOG.md becomes one entry with its text indented
# (so CHANGELOG.md keeps its lines within 78 columns).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/CHANGELOG.md)
file(STRINGS ${CMAKE_SOURCE_DIR}/CHANGELOG.md changelog_lines)
set(debian_changelog "")
set(entry_version "")
macro(halvorine_end_changelog_entry)
  if(entry_version)
    execute_process(COMMAND date -u -R -d "${entry_date} 12:00" OUTPUT_VARIABLE entry_stamp
                    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX REPLACE "^\n+" "" entry_text "${entry_text}")
    string(REGEX REPLACE "\n+$" "\n" entry_text "${entry_text}")
    string(APPEND debian_changelog
      "${HALVORINE_PACKAGE_NAME} (${entry_version}) unstable; urgency=medium\n\n${entry_text}\n"
      " -- ${HALVORINE_PACKAGE_MAINTAINER}  ${entry_stamp}\n\n")
  endif()
endmacro()
foreach(line IN LISTS changelog_lines)
  if(line MATCHES "^## ([^ ]+) \\(([0-9-]+)\\)")
    halvorine_end_changelog_entry()
    set(entry_version "${CMAKE_MATCH_1}")
    set(entry_date "${CMAKE_MATCH_2}")
    set(entry_text "")
  elseif(entry_version)
    if(line STREQUAL "")
      string(APPEND entry_text "\n")
    else()
      string(APPEND entry_text "  ${line}\n")
    endif()
  endif()
endforeach()
halvorine_end_changelog_entry()
file(WRITE ${CMAKE_BINARY_DIR}/doc/changelog "${debian_changelog}")
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
  COMMAND ${GZIP_PROGRAM} -9nkf ${CMAKE_BINARY_DIR}/doc/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog
  COMMENT "Compressing the change log")
add_custom_target(halvorine_docs ALL DEPENDS ${man_outputs} ${CMAKE_BINARY_DIR}/doc/changelog.gz)

install(FILES ${man_outputs} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

# The licence notice goes with the programs in the form Debian reads (machine-readable copyright
# file), made from LICENSE so that there is one text.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence_text)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${licence_text}")
set(licence_holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^[^\n]*\n\nCopyright[^\n]*\n\n" "" licence_body "${licence_text}")
string(REGEX REPLACE "\n+$" "" licence_body "${licence_body}")
string(REPLACE "\n\n" "\n.\n" licence_body "${licence_body}")
string(REPLACE "\n" "\n " licence_body "${licence_body}")
file(WRITE ${CMAKE_BINARY_DIR}/doc/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${HALVORINE_PACKAGE_NAME}

Files: *
Copyright: ${licence_holder}
License: Expat
 ${licence_body}
")

install(FILES README.md LICENSE ${CMAKE_BINARY_DIR}/doc/copyright
              ${CMAKE_BINARY_DIR}/doc/changelog.gz
        DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(DIRECTORY docs/ DESTINATION "${CMAKE_INSTALL_DOCDIR}/docs" FILES_MATCHING PATTERN "*.md")

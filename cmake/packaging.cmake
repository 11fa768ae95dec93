# What `cmake --install` puts beside the program, and the Debian package that
# `cpack -G DEB` makes of it.
#
# Installed (relative to CMAKE_INSTALL_PREFIX):
#   bin/calvento                              the program (from src/)
#   share/man/man1/calvento.1.gz              the Italian manual page
#   share/man/en/man1/calvento.1.gz           the English one, for `man -L en`
#   share/doc/calvento/copyright              licence, machine-readable form
#   share/doc/calvento/changelog.gz           release history
# Nothing of the test suite is installed.

set(CALVENTO_DOC_DIR ${CMAKE_CURRENT_LIST_DIR}/../doc)
set(CALVENTO_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set(CALVENTO_GEN_DIR ${PROJECT_BINARY_DIR}/packaging)

# --- Windows: a ZIP to unpack anywhere --------------------------------------
# `cpack -G ZIP` in a Windows build makes calvento-<version>-win64.zip:
#   calvento-<version>-win64/calvento.exe       the program, needing no DLL of its own
#   calvento-<version>-win64/README.md, LICENSE
#   calvento-<version>-win64/calvento.txt       the Italian manual page, as text
#   calvento-<version>-win64/calvento.en.txt    the English one
# The pages are rendered by groff into plain UTF-8 text, without the
# overstrikes of a terminal, for any text editor. Without groff the program
# still builds and packs, without the pages.
if(WIN32)
  configure_file(${CALVENTO_DOC_DIR}/calvento.1 ${CALVENTO_GEN_DIR}/it/calvento.1 @ONLY)
  configure_file(${CALVENTO_DOC_DIR}/calvento.en.1 ${CALVENTO_GEN_DIR}/en/calvento.1 @ONLY)
  find_program(CALVENTO_GROFF groff)
  set(_calvento_pages)
  if(NOT CALVENTO_GROFF)
    message(WARNING "The manual pages are left out: they need groff (apt-get install groff-base)")
  else()
    foreach(_page IN ITEMS it:calvento.txt en:calvento.en.txt)
      string(REPLACE ":" ";" _page "${_page}")
      list(GET _page 0 _language)
      list(GET _page 1 _text)
      add_custom_command(
        OUTPUT ${CALVENTO_GEN_DIR}/${_text}
        COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8
                sh -c "'${CALVENTO_GROFF}' -man -Tutf8 -P-cbou '${CALVENTO_GEN_DIR}/${_language}/calvento.1' > '${CALVENTO_GEN_DIR}/${_text}'"
        DEPENDS ${CALVENTO_GEN_DIR}/${_language}/calvento.1
        COMMENT "Rendering the ${_language} manual page as text"
        VERBATIM)
      list(APPEND _calvento_pages ${CALVENTO_GEN_DIR}/${_text})
    endforeach()
  endif()
  # Stays a target, empty without groff, for the scripts that build it by name.
  add_custom_target(calvento_docs ALL DEPENDS ${_calvento_pages})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE ${_calvento_pages} DESTINATION .)

  set(CPACK_PACKAGE_NAME calvento)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_VENDOR "Calvento developers")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make a directory tree an exact image of another")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME calvento-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

# Directories made by the install are world-readable whatever the umask of
# the person building; the package's directories get the same.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# --- Manual pages and changelog, compressed the way Debian wants them -------
# The pages carry the version in their .TH line, filled in from the one
# PROJECT_VERSION. gzip -9n: best compression and no name or time stamp in the
# header, so two builds of the same sources give the same bytes.

configure_file(${CALVENTO_DOC_DIR}/calvento.1 ${CALVENTO_GEN_DIR}/it/calvento.1 @ONLY)
configure_file(${CALVENTO_DOC_DIR}/calvento.en.1 ${CALVENTO_GEN_DIR}/en/calvento.1 @ONLY)
configure_file(${CALVENTO_DEBIAN_DIR}/changelog ${CALVENTO_GEN_DIR}/changelog COPYONLY)

# The newest changelog entry must be the version being built.
file(STRINGS ${CALVENTO_DEBIAN_DIR}/changelog _calvento_changelog_top LIMIT_COUNT 1)
if(NOT _calvento_changelog_top MATCHES "^calvento \\(${PROJECT_VERSION}\\) ")
  message(WARNING "cmake/debian/changelog does not begin with an entry for version ${PROJECT_VERSION}")
endif()

# Without gzip the program still builds and installs, without the pages and
# the changelog.
find_program(CALVENTO_GZIP gzip)
set(_calvento_compressed)
if(NOT CALVENTO_GZIP)
  message(WARNING "The manual pages and the changelog are left out: they need gzip (apt-get install gzip)")
else()
  foreach(_file it/calvento.1 en/calvento.1 changelog)
    add_custom_command(
      OUTPUT ${CALVENTO_GEN_DIR}/${_file}.gz
      COMMAND ${CALVENTO_GZIP} -9nkf ${CALVENTO_GEN_DIR}/${_file}
      DEPENDS ${CALVENTO_GEN_DIR}/${_file}
      COMMENT "Compressing ${_file}"
      VERBATIM)
    list(APPEND _calvento_compressed ${CALVENTO_GEN_DIR}/${_file}.gz)
  endforeach()
  install(FILES ${CALVENTO_GEN_DIR}/it/calvento.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CALVENTO_GEN_DIR}/en/calvento.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/en/man1)
  install(FILES ${CALVENTO_GEN_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
# Stays a target, empty without gzip, for the scripts that build it by name.
add_custom_target(calvento_docs ALL DEPENDS ${_calvento_compressed})

install(FILES ${CALVENTO_DEBIAN_DIR}/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# --- Debian package ----------------------------------------------------------

set(CPACK_PACKAGE_NAME calvento)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Calvento developers")
set(CPACK_PACKAGE_CONTACT "Calvento developers <calvento@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make a directory tree an exact image of another")
set(CPACK_PACKAGE_DESCRIPTION
  "Calvento walks a source directory tree and makes a destination tree its
exact image: in every directory it removes what the source no longer has,
copies the new and changed files (chosen by the copy mode) with their
last-write times and permission bits, and creates the missing
sub-directories.

It honours lists of excluded names, shows its progress on the console,
appends a block per run to a log file, and in dated mode copies the files
last written today into a directory named after the date. A failed or
interrupted copy never damages the previous copy, and an unreadable source
directory never empties its copy. The program's messages are in Italian.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Calvento developers <calvento@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: on the C and C++ libraries, worked out by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

find_program(CALVENTO_DPKG dpkg)
if(CALVENTO_DPKG)
  execute_process(COMMAND ${CALVENTO_DPKG} --print-architecture
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

include(CPack)

# SPDX-License-Identifier: MIT
# What the install stages and the Debian package holds (included by the
# top-level list, as CPack reads its settings from the top directory).
include(GNUInstallDirs)
# The version is VERSION's: the changelog's last entry and the man pages,
# which carry it as text, must name the same one.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog changelog_head LIMIT_COUNT 1)
foreach(page IN LISTS conemask_programs)
  file(STRINGS ${PROJECT_SOURCE_DIR}/${page}.1 page_title REGEX "^\\.TH ")
  if(NOT page_title MATCHES "\"conemask ${PROJECT_VERSION}\"")
    message(FATAL_ERROR "${page}.1 does not name version ${PROJECT_VERSION} (VERSION)")
  endif()
endforeach()
if(NOT changelog_head MATCHES "^conemask \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog's last entry is not version ${PROJECT_VERSION} (VERSION)")
endif()
# Debian's layout: the man page and the changelog compressed with gzip -9n (no
# name or time stamp, so that the bytes depend on the text alone), and the
# licence as a machine-readable copyright file.
find_program(GZIP gzip REQUIRED)
set(compressed_docs)
list(TRANSFORM conemask_programs APPEND .1 OUTPUT_VARIABLE man_page_sources)
foreach(doc IN LISTS man_page_sources ITEMS packaging/changelog)
  get_filename_component(name ${doc} NAME)
  add_custom_command(OUTPUT ${name}.gz
    COMMAND sh -c "\"$0\" -9n -c \"$1\" >\"$2\"" ${GZIP} ${CMAKE_SOURCE_DIR}/${doc} ${CMAKE_BINARY_DIR}/${name}.gz
    DEPENDS ${doc}
    VERBATIM)
  list(APPEND compressed_docs ${CMAKE_BINARY_DIR}/${name}.gz)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed_docs})

install(TARGETS ${conemask_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
list(TRANSFORM conemask_programs APPEND .1.gz OUTPUT_VARIABLE man_pages)
list(TRANSFORM man_pages PREPEND ${CMAKE_BINARY_DIR}/)
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The tuner page as committed (web/dist), so that neither the install nor the
# package needs Emscripten; .ci/run checks that it is what its sources build.
install(FILES web/dist/conemask-tuner.html DESTINATION ${CMAKE_INSTALL_DATADIR}/conemask)
install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME conemask)

set(CPACK_PACKAGE_NAME conemask)
set(CONEMASK_MAINTAINER "conemask developers <conemask-developers@users.noreply.codeberg.org>"
    CACHE STRING "The Debian package's Maintainer field")
set(CPACK_PACKAGE_CONTACT "${CONEMASK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mask the pixels of an RGB raster by the direction of their colour")
# Debian wants each line of the long description within 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "conemask reads a headerless 8-bit RGB raster and writes a 16-bit mask of\n\
the pixels whose colour points the same way as a reference colour, whatever\n\
their brightness. Each selected pixel carries its strength along the\n\
reference colour; every other pixel is 0. conemask-image does the same for\n\
JPEG, PNG, WebP and TIFF photographs, and can draw the mask as a PNG.")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# A reproducible package: the archive members carry the time of the
# changelog's last entry, as Debian's own builds take it, not the build time.
# An epoch set in the environment wins.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog changelog_trailer REGEX "^ -- ")
list(GET changelog_trailer 0 changelog_trailer)
string(REGEX REPLACE "^.*>  " "" changelog_date "${changelog_trailer}")
execute_process(COMMAND date -u -d "${changelog_date}" +%s OUTPUT_VARIABLE CONEMASK_SOURCE_DATE_EPOCH
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack_options.cmake.in cpack_options.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack_options.cmake)
# The program's files alone: the Python module has a package of its own.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
include(CPack)


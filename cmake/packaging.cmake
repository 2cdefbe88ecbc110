# What "cmake --install" puts where, and the packages CPack makes of it:
# a .deb for Debian and its relatives, a .zip for Windows.
include(GNUInstallDirs)

# The version's release date, from its CHANGELOG section: the one version is
# project()'s, and the changelog must have a section for it.
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md TARNWICK_RELEASE_HEADING
     REGEX "^## ${PROJECT_VERSION} \\([0-9]+-[0-9]+-[0-9]+\\)$")
string(REGEX MATCH "[0-9]+-[0-9]+-[0-9]+" TARNWICK_RELEASE_DATE "${TARNWICK_RELEASE_HEADING}")
if(NOT TARNWICK_RELEASE_DATE)
  message(FATAL_ERROR "CHANGELOG.md has no section \"## ${PROJECT_VERSION} (date)\"")
endif()
configure_file(${PROJECT_SOURCE_DIR}/doc/tarnwick.1.in ${PROJECT_BINARY_DIR}/tarnwick.1 @ONLY)

# Reproducible packages: every time stamp in them is the commit's (or the
# one SOURCE_DATE_EPOCH gives when cpack runs), not the build's.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE TARNWICK_SOURCE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
  endif()
  if(NOT TARNWICK_SOURCE_DATE)
    # Outside a git checkout: noon of the release date.
    execute_process(COMMAND date -u -d "${TARNWICK_RELEASE_DATE} 12:00" +%s
                    OUTPUT_VARIABLE TARNWICK_SOURCE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
  endif()
  # Neither git nor a date to go by: the build's own times (not reproducible).
  if(TARNWICK_SOURCE_DATE)
    file(WRITE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake
         "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n"
         "  set(ENV{SOURCE_DATE_EPOCH} \"${TARNWICK_SOURCE_DATE}\")\n"
         "endif()\n")
    set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
  endif()
endif()

set(TARNWICK_MAINTAINER "Tarnwick developers <maintainers@tarnwick.org>")
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VENDOR "Tarnwick")
set(CPACK_PACKAGE_CONTACT ${TARNWICK_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "rebuild the track database of early flash iPod shuffle players")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS tarnwick RUNTIME DESTINATION .)
  # Notepad on older Windows shows only CR LF line ends.
  configure_file(${PROJECT_SOURCE_DIR}/doc/README-Windows.txt
                 ${PROJECT_BINARY_DIR}/README-Windows.txt NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/LICENSE.txt
                 NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README-Windows.txt ${PROJECT_BINARY_DIR}/LICENSE.txt
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tarnwick-${PROJECT_VERSION}-windows-x64)
else()
  install(TARGETS tarnwick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Debian's policy: manual page and changelog compressed, reproducibly.
  find_program(GZIP gzip REQUIRED)
  execute_process(COMMAND date -u -R -d "${TARNWICK_RELEASE_DATE} 12:00"
                  OUTPUT_VARIABLE TARNWICK_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE)
  # The one changelog, CHANGELOG.md, in Debian's format: a section per
  # version, each bullet an item, each dated by its heading.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                                        ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
  # Lines as a list: the text's own semicolons are held out of the way.
  file(READ ${PROJECT_SOURCE_DIR}/CHANGELOG.md TARNWICK_CHANGELOG_TEXT)
  string(REPLACE ";" "<semicolon>" TARNWICK_CHANGELOG_TEXT "${TARNWICK_CHANGELOG_TEXT}")
  string(REPLACE "\n" ";" TARNWICK_CHANGELOG_LINES "${TARNWICK_CHANGELOG_TEXT}")
  # Releases of one day follow each other by a minute from noon: Debian's
  # changelog wants each entry strictly later than the one before.
  set(TARNWICK_DEBIAN_CHANGELOG "")
  set(TARNWICK_ENTRY_TRAILER "")
  set(TARNWICK_VERSION_HEADINGS ${TARNWICK_CHANGELOG_LINES})
  list(FILTER TARNWICK_VERSION_HEADINGS INCLUDE REGEX "^## [0-9.]+ ")
  list(LENGTH TARNWICK_VERSION_HEADINGS entries_left)
  foreach(line IN LISTS TARNWICK_CHANGELOG_LINES)
    if(line MATCHES "^## ([0-9.]+) \\(([0-9-]+)\\)$")
      string(APPEND TARNWICK_DEBIAN_CHANGELOG "${TARNWICK_ENTRY_TRAILER}")
      math(EXPR entries_left "${entries_left} - 1")
      execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_2} 12:00 UTC + ${entries_left} minutes"
                      OUTPUT_VARIABLE entry_date OUTPUT_STRIP_TRAILING_WHITESPACE)
      string(APPEND TARNWICK_DEBIAN_CHANGELOG
             "tarnwick (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
      set(TARNWICK_ENTRY_TRAILER "\n -- ${TARNWICK_MAINTAINER}  ${entry_date}\n\n")
    elseif(line MATCHES "^- (.*)$")
      string(APPEND TARNWICK_DEBIAN_CHANGELOG "  * ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^  +(.*)$")
      string(APPEND TARNWICK_DEBIAN_CHANGELOG "    ${CMAKE_MATCH_1}\n")
    elseif(TARNWICK_ENTRY_TRAILER AND line MATCHES "^[^#].*$")
      string(APPEND TARNWICK_DEBIAN_CHANGELOG "  * ${line}\n")
    endif()
  endforeach()
  string(REGEX REPLACE "\n\n$" "\n" TARNWICK_DEBIAN_CHANGELOG
         "${TARNWICK_DEBIAN_CHANGELOG}${TARNWICK_ENTRY_TRAILER}")
  string(REPLACE "<semicolon>" ";" TARNWICK_DEBIAN_CHANGELOG "${TARNWICK_DEBIAN_CHANGELOG}")
  file(WRITE ${PROJECT_BINARY_DIR}/changelog "${TARNWICK_DEBIAN_CHANGELOG}")
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/tarnwick.1.gz ${PROJECT_BINARY_DIR}/changelog.gz
    COMMAND ${GZIP} -9nc tarnwick.1 > tarnwick.1.gz
    COMMAND ${GZIP} -9nc changelog > changelog.gz
    DEPENDS ${PROJECT_BINARY_DIR}/tarnwick.1 ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
  add_custom_target(compressed_docs ALL
                    DEPENDS ${PROJECT_BINARY_DIR}/tarnwick.1.gz ${PROJECT_BINARY_DIR}/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/tarnwick.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_SOURCE_DIR}/doc/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The compiler's version strings: what Debian's own packaging strips.
  if(CMAKE_OBJCOPY AND NOT APPLE)
    add_custom_command(TARGET tarnwick POST_BUILD
                       COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment $<TARGET_FILE:tarnwick>)
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Run in the root of the player's volume, it writes a fresh\niPod_Control/iTunes/iTunesSD listing every playable file, so that\nthe player plays music copied onto it with no other software.")
endif()

include(CPack)

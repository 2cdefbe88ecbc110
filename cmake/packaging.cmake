# What "cmake --install" puts where, and the packages CPack makes of it:
# a .deb for Debian and its relatives, a .zip for Windows.
include(GNUInstallDirs)

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
  configure_file(${PROJECT_SOURCE_DIR}/doc/changelog.Debian.in ${PROJECT_BINARY_DIR}/changelog
                 @ONLY)
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/tarnwick.1.gz ${PROJECT_BINARY_DIR}/changelog.gz
    COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/doc/tarnwick.1 > tarnwick.1.gz
    COMMAND ${GZIP} -9nc changelog > changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/tarnwick.1 ${PROJECT_BINARY_DIR}/changelog
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
  add_custom_target(compressed_docs ALL
                    DEPENDS ${PROJECT_BINARY_DIR}/tarnwick.1.gz ${PROJECT_BINARY_DIR}/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/tarnwick.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_SOURCE_DIR}/doc/copyright
                ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Run in the root of the player's volume, it writes a fresh\niPod_Control/iTunes/iTunesSD listing every playable file, so that\nthe player plays music copied onto it with no other software.")
endif()

include(CPack)

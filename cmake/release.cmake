# Installing korvat, and packing it: a Debian package and a tar.gz on Linux, a
# zip on Windows, built by `cmake --build <build dir> --target package`. The
# man page and the Debian files are made here from the sources, with the
# project's version.

set(release_dir ${CMAKE_BINARY_DIR}/release)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/korvat.1 ${PROJECT_SOURCE_DIR}/LICENSE)

# The man page names the version the build gives it.
file(READ ${PROJECT_SOURCE_DIR}/korvat.1 man_page)
string(REPLACE "\"korvat\" \"User Commands\"" "\"korvat ${PROJECT_VERSION}\" \"User Commands\"" man_page "${man_page}")
file(WRITE ${release_dir}/korvat.1 "${man_page}")

set(CPACK_PACKAGE_NAME korvat)
set(CPACK_PACKAGE_VENDOR "The korvat developers")
set(CPACK_PACKAGE_CONTACT "The korvat developers <korvat@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "split DVB-S audio/video recordings into MPEG video and audio")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # For a reader with no man: the man page as plain text, rendered from the
  # same source.
  find_program(GROFF groff REQUIRED)
  add_custom_command(OUTPUT ${release_dir}/korvat.txt
    COMMAND sh -c "'${GROFF}' -man -Tascii -P-cbou '${release_dir}/korvat.1' > '${release_dir}/korvat.txt'"
    DEPENDS ${release_dir}/korvat.1 VERBATIM)
  add_custom_target(release_files ALL DEPENDS ${release_dir}/korvat.txt)
  install(TARGETS korvat RUNTIME DESTINATION .)
  install(FILES ${release_dir}/korvat.txt README.md CHANGELOG.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME korvat-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME korvat-${PROJECT_VERSION}-win32)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/korvat)
  # Debian wants its changelog and the upstream one compressed, and a
  # copyright file in its own format, here made from LICENSE.
  string(TIMESTAMP release_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${release_dir}/changelog.Debian
    "korvat (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}; CHANGELOG.md (changelog.gz) tells what changed.\n\n"
    " -- ${CPACK_PACKAGE_CONTACT}  ${release_date}\n")
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
  string(REGEX REPLACE "\n([^\n])" "\n \\1" license "${license}")
  file(WRITE ${release_dir}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: korvat\n\n"
    "Files: *\n"
    "Copyright: 2026 The korvat developers\n"
    "License: MIT\n ${license}")
  foreach(name korvat.1 changelog.Debian)
    add_custom_command(OUTPUT ${release_dir}/${name}.gz
      COMMAND gzip -9nkf ${release_dir}/${name}
      DEPENDS ${release_dir}/${name} VERBATIM)
  endforeach()
  add_custom_command(OUTPUT ${release_dir}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${release_dir}/changelog
    COMMAND gzip -9nf ${release_dir}/changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md VERBATIM)
  add_custom_target(release_files ALL
    DEPENDS ${release_dir}/korvat.1.gz ${release_dir}/changelog.Debian.gz ${release_dir}/changelog.gz)
  install(TARGETS korvat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${release_dir}/korvat.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md ${release_dir}/copyright ${release_dir}/changelog.Debian.gz ${release_dir}/changelog.gz
          DESTINATION ${doc_dir})
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "korvat splits a DVB-S audio/video recording, a chain of AV packets, into its
elementary streams: the MPEG-2 video from the first sequence header on, and
the MPEG audio as bare frames (or PES packets), with further audio tracks
such as AC3 in files of their own. With -r it skips damaged stretches, cuts
the video cleanly there and keeps the audio in lip sync.")
  set(CPACK_PACKAGE_FILE_NAME korvat-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
include(CPack)

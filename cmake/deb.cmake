# The Debian package, quib_<version>_<arch>.deb. It is linked dynamically:
# Debian updates the C and C++ libraries once for every package, and
# dpkg-shlibdeps reads its Depends off the binary. Debian wants the manual
# page and the changelog compressed by gzip -9n (no name, no time: the same
# bytes every build) and a machine-readable copyright file instead of LICENSE.
if(QUIB_STATIC)
    message(FATAL_ERROR "QUIB_DEB packages the dynamically linked program: set QUIB_STATIC=OFF")
endif()
find_program(QUIB_GZIP gzip REQUIRED)
set(debDir ${PROJECT_BINARY_DIR}/deb)

# The copyright file, in the format Debian reads, from LICENSE's own words.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.+)")
    message(FATAL_ERROR "LICENSE: no line 'Copyright (c) ...' followed by the terms")
endif()
set(holder "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms " ${terms}")
file(CONFIGURE OUTPUT ${debDir}/copyright @ONLY CONTENT [[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: @PROJECT_NAME@
Upstream-Contact: @QUIB_CONTACT@

Files: *
Copyright: @holder@
License: Expat
@terms@
]])

add_custom_command(OUTPUT ${debDir}/quib.1.gz ${debDir}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${QUIB_MANUAL} ${PROJECT_SOURCE_DIR}/docs/changelog ${debDir}
    COMMAND ${QUIB_GZIP} -9nf ${debDir}/quib.1 ${debDir}/changelog
    DEPENDS ${QUIB_MANUAL} ${PROJECT_SOURCE_DIR}/docs/changelog
    VERBATIM)
add_custom_target(deb-documents ALL DEPENDS ${debDir}/quib.1.gz ${debDir}/changelog.gz)
install(FILES ${debDir}/quib.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${debDir}/copyright ${debDir}/changelog.gz DESTINATION ${QUIB_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "wrap a picture into a VMS file for the visual memory unit")
set(CPACK_PACKAGE_DESCRIPTION
    "quib wraps one picture file into a VMS file, the save-file layout of the
Dreamcast visual memory unit, so that the picture can travel on a memory
unit or in an archive of save files. The picture is copied unchanged; a
failed run never costs a file.")

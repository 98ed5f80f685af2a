# The Windows program's resources: the application manifest and the version
# information.
#
# The manifest is the program's only one: Debian's MinGW-w64 links no default
# manifest, and where a toolchain does (a language-neutral default-manifest.o),
# ld drops it in favour of the program's own.
enable_language(RC)

set(QUIB_MANIFEST ${PROJECT_SOURCE_DIR}/src/windows/quib.manifest)

file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE QUIB_COPYRIGHT REGEX "^Copyright" LIMIT_COUNT 1)
# A quote inside an RC string is written twice.
string(REPLACE "\"" "\"\"" QUIB_RC_DESCRIPTION "${PROJECT_DESCRIPTION}")
string(REPLACE "\"" "\"\"" QUIB_RC_CONTACT "${QUIB_CONTACT}")
configure_file(${PROJECT_SOURCE_DIR}/src/windows/quib.rc.in ${CMAKE_CURRENT_BINARY_DIR}/quib.rc @ONLY)

target_sources(quib PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/quib.rc)
# windres reads the manifest itself; the build must know.
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/quib.rc PROPERTIES
    OBJECT_DEPENDS ${QUIB_MANIFEST})

# The Windows program's resources: the application manifest, the icon and
# the version information. The icon is drawn at build time by
# scripts/make_ico.py from src/icon.hpp, the palette and pixels the header's
# icon is built from, so that there is one drawing.
#
# The manifest is the program's only one: Debian's MinGW-w64 links no default
# manifest, and where a toolchain does (a language-neutral default-manifest.o),
# ld drops it in favour of the program's own.
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(QUIB_ICON ${CMAKE_CURRENT_BINARY_DIR}/quib.ico)
set(QUIB_MANIFEST ${PROJECT_SOURCE_DIR}/src/windows/quib.manifest)
add_custom_command(OUTPUT ${QUIB_ICON}
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/make_ico.py
        ${PROJECT_SOURCE_DIR}/src/icon.hpp ${QUIB_ICON}
    DEPENDS ${PROJECT_SOURCE_DIR}/scripts/make_ico.py ${PROJECT_SOURCE_DIR}/src/icon.hpp
    COMMENT "Drawing quib.ico from src/icon.hpp"
    VERBATIM)

file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE QUIB_COPYRIGHT REGEX "^Copyright" LIMIT_COUNT 1)
# A quote inside an RC string is written twice.
string(REPLACE "\"" "\"\"" QUIB_RC_DESCRIPTION "${PROJECT_DESCRIPTION}")
string(REPLACE "\"" "\"\"" QUIB_RC_CONTACT "${QUIB_CONTACT}")
configure_file(${PROJECT_SOURCE_DIR}/src/windows/quib.rc.in ${CMAKE_CURRENT_BINARY_DIR}/quib.rc @ONLY)

target_sources(quib PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/quib.rc)
# windres reads the manifest and the icon itself; the build must know.
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/quib.rc PROPERTIES
    OBJECT_DEPENDS "${QUIB_ICON};${QUIB_MANIFEST}")

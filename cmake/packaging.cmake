# `cmake --install` and CPack. The Windows zips hold quib.exe, the README and
# the license side by side; the Linux archive follows the usual prefix layout,
# manual page included; the Debian package (QUIB_DEB, the deb preset) lays its
# documents out as Debian wants them (cmake/deb.cmake).
option(QUIB_DEB "Package for Debian: the manual page and changelog compressed, a copyright file" OFF)

if(WIN32)
    set(QUIB_BIN_DIR .)
    set(QUIB_DOC_DIR .)
    set(CPACK_GENERATOR ZIP)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(CPACK_SYSTEM_NAME win64)
    else()
        set(CPACK_SYSTEM_NAME win32)
    endif()
else()
    include(GNUInstallDirs)
    set(QUIB_BIN_DIR ${CMAKE_INSTALL_BINDIR})
    set(QUIB_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
    set(CPACK_GENERATOR TGZ)
    # The manual page names the banner's contact address and the README's
    # place, both known only here.
    set(QUIB_README ${CMAKE_INSTALL_FULL_DOCDIR}/README.md)
    set(QUIB_MANUAL ${PROJECT_BINARY_DIR}/quib.1)
    configure_file(docs/quib.1.in ${QUIB_MANUAL} @ONLY)
endif()

install(TARGETS quib RUNTIME DESTINATION ${QUIB_BIN_DIR})
install(FILES README.md DESTINATION ${QUIB_DOC_DIR})
if(QUIB_DEB)
    include(cmake/deb.cmake)
else()
    install(FILES LICENSE DESTINATION ${QUIB_DOC_DIR})
    if(NOT WIN32)
        install(FILES ${QUIB_MANUAL} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endif()

# CPack adds an archive's members in the order the file system lists them,
# and counts folders' sizes on disk into a .deb's Installed-Size: both differ
# between file systems. scripts/normalize_package.py rewrites each package in
# name order, Installed-Size counted as Debian counts it, so that a rebuild
# gives the same bytes anywhere (scripts/release.sh).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
    set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_BINARY_DIR}/normalize-packages.cmake)
    file(CONFIGURE OUTPUT ${CPACK_POST_BUILD_SCRIPTS} @ONLY CONTENT [[
execute_process(COMMAND "@Python3_EXECUTABLE@" "@PROJECT_SOURCE_DIR@/scripts/normalize_package.py"
    ${CPACK_PACKAGE_FILES} COMMAND_ERROR_IS_FATAL ANY)
]])
else()
    message(STATUS "No Python 3: the packages keep the order of the file system they were made on")
endif()

set(CPACK_PACKAGE_VENDOR "The quib developers")
set(CPACK_PACKAGE_CONTACT "${CPACK_PACKAGE_VENDOR} <${QUIB_CONTACT}>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)

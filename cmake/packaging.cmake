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

set(CPACK_PACKAGE_VENDOR "The quib developers")
set(CPACK_PACKAGE_CONTACT "${CPACK_PACKAGE_VENDOR} <${QUIB_CONTACT}>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)

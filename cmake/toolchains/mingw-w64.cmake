# Cross build for Windows with Debian's MinGW-w64 compilers (win32 thread
# model). Included by the per-architecture toolchain files, which set
# QUIB_MINGW_TRIPLE.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QUIB_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUIB_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${QUIB_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUIB_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets `ctest` and custom commands run the .exe files on this machine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# Linux on another processor, cross-compiled with Debian's g++-<triple>;
# programs built here (the tests' discovery among them) run under qemu-user,
# which finds the target's loader and libraries in /usr/<triple>. Included
# by the per-architecture toolchain files, which set CMAKE_SYSTEM_PROCESSOR,
# QUIB_CROSS_TRIPLE and QUIB_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QUIB_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUIB_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${QUIB_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUIB_QEMU} -L /usr/${QUIB_CROSS_TRIPLE})

# Linux on 32-bit arm, hard float (Debian's g++-arm-linux-gnueabihf, qemu-arm).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUIB_CROSS_TRIPLE arm-linux-gnueabihf)
set(QUIB_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# Linux on s390x, big-endian (Debian's g++-s390x-linux-gnu, qemu-s390x).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QUIB_CROSS_TRIPLE s390x-linux-gnu)
set(QUIB_QEMU qemu-s390x-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

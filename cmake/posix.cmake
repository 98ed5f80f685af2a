# The POSIX sources: one portable core (output, common, console), and what a
# system family offers beyond it in a file of its own: linux.cpp, or
# bsd.cpp for macOS and FreeBSD. Any other system, and every system with
# QUIB_SYSTEM_EXTRAS off, gets plain.cpp, which asks nothing beyond POSIX.
# WASI is a member of the family with far less: wasi.cpp answers for it
# what the others find in files.cpp (mmap, owners, dup) and signals.cpp.
# What the C library has is found by checks, never by the system's name.
include(CheckCXXSymbolExists)
include(CheckIncludeFiles)

set(QUIB_PLATFORM_SOURCES
    src/posix/common.cpp src/posix/console.cpp src/posix/output.cpp)
set(QUIB_PLATFORM_DEFINITIONS "")
set(QUIB_PLATFORM_LIBRARIES "")
set(QUIB_SYSTEM_FAMILY plain)
if(CMAKE_SYSTEM_NAME STREQUAL "WASI")
    set(QUIB_SYSTEM_FAMILY wasi)
    # The hidden name's last resort mixes in a process id, which WASI only
    # emulates.
    list(APPEND QUIB_PLATFORM_DEFINITIONS _WASI_EMULATED_GETPID)
    list(APPEND QUIB_PLATFORM_LIBRARIES wasi-emulated-getpid)
else()
    list(APPEND QUIB_PLATFORM_SOURCES src/posix/files.cpp src/posix/signals.cpp)
    if(QUIB_SYSTEM_EXTRAS AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
        set(QUIB_SYSTEM_FAMILY linux)
    elseif(QUIB_SYSTEM_EXTRAS AND CMAKE_SYSTEM_NAME MATCHES "^(Darwin|FreeBSD)$")
        set(QUIB_SYSTEM_FAMILY bsd)
    endif()
endif()
list(APPEND QUIB_PLATFORM_SOURCES src/posix/${QUIB_SYSTEM_FAMILY}.cpp)
# WASI shares what POSIX alone tells; only a plain system takes the
# attributes for uncopyable.
if(QUIB_SYSTEM_FAMILY STREQUAL "wasi")
    list(APPEND QUIB_PLATFORM_SOURCES src/posix/plain.cpp)
elseif(QUIB_SYSTEM_FAMILY STREQUAL "plain")
    list(APPEND QUIB_PLATFORM_SOURCES src/posix/uncopied.cpp)
endif()
# Unnamed files (O_TMPFILE) are Linux's alone.
if(NOT QUIB_SYSTEM_FAMILY STREQUAL "linux")
    list(APPEND QUIB_PLATFORM_SOURCES src/posix/named.cpp)
endif()
message(STATUS "What the system offers beyond POSIX: src/posix/${QUIB_SYSTEM_FAMILY}.cpp")

# glibc shows O_PATH, AT_EMPTY_PATH and statx only to GNU sources; g++ asks
# for them anyway, clang does not.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    list(APPEND QUIB_PLATFORM_DEFINITIONS _GNU_SOURCE)
    set(CMAKE_REQUIRED_DEFINITIONS -D_GNU_SOURCE)
endif()

# Where the hidden name's random characters come from: the kernel's
# generator where the C library has a call for it, else /dev/urandom.
# (macOS's sys/random.h needs unistd.h before it.)
check_include_files("sys/types.h;unistd.h;sys/random.h" QUIB_HAVE_SYS_RANDOM_H LANGUAGE CXX)
set(randomHeaders sys/types.h unistd.h)
if(QUIB_HAVE_SYS_RANDOM_H)
    list(APPEND randomHeaders sys/random.h)
endif()
check_cxx_symbol_exists(getrandom "${randomHeaders}" QUIB_HAVE_GETRANDOM)
check_cxx_symbol_exists(getentropy "${randomHeaders}" QUIB_HAVE_GETENTROPY)
# statx reads a folder's attributes through a search-only descriptor;
# without it linux.cpp asks with an ioctl.
check_cxx_symbol_exists(statx "fcntl.h;sys/stat.h" QUIB_HAVE_STATX)
unset(CMAKE_REQUIRED_DEFINITIONS)
# bsd.cpp declares macOS's attribute calls itself where an SDK lacks them.
check_include_files("sys/types.h;sys/xattr.h" QUIB_HAVE_SYS_XATTR_H LANGUAGE CXX)

foreach(have IN ITEMS QUIB_HAVE_SYS_RANDOM_H QUIB_HAVE_GETRANDOM QUIB_HAVE_GETENTROPY
        QUIB_HAVE_STATX QUIB_HAVE_SYS_XATTR_H)
    if(${have})
        list(APPEND QUIB_PLATFORM_DEFINITIONS ${have}=1)
    else()
        list(APPEND QUIB_PLATFORM_DEFINITIONS ${have}=0)
    endif()
endforeach()

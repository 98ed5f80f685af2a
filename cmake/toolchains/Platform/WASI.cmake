# The WASI platform for CMake, which has none of its own yet (the toolchain
# file ../wasi.cmake puts this folder's parent on the module path):
# executables are .wasm modules, and static libraries and objects are named
# as on POSIX systems.
set(CMAKE_EXECUTABLE_SUFFIX .wasm)
set(CMAKE_STATIC_LIBRARY_PREFIX lib)
set(CMAKE_STATIC_LIBRARY_SUFFIX .a)
set(CMAKE_FIND_LIBRARY_PREFIXES lib)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

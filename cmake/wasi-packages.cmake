# The WASI build takes its C library, C++ library and compiler runtime from
# Debian's wasm32 packages, and links with lld's wasm-ld. Were one missing,
# the build would stop deep inside, at a compiler's "'array' file not found"
# or a linker's "cannot open"; here each is asked for by what it brings, and
# the message names the package. A failed check is forgotten, so that the
# next configure asks again once the package is installed.
include(CheckCXXSourceCompiles)

function(quib_wasi_package_missing package contents)
    message(FATAL_ERROR "The WASI build needs ${contents} from Debian's package ${package}: "
        "install it (`apt-get install ${package}`; scripts/install-deps.sh installs all the build "
        "needs) and configure again.")
endfunction()

# Compiles a program that includes the header; with LINK, links it too (the
# toolchain's test target, a static library, needs no linker).
function(quib_require_wasi_package result package contents header)
    cmake_parse_arguments(PARSE_ARGV 4 arg LINK "" "")
    if(arg_LINK)
        set(CMAKE_TRY_COMPILE_TARGET_TYPE EXECUTABLE)
    endif()
    check_cxx_source_compiles("#include <${header}>\nint main() { return 0; }\n" ${result})
    if(NOT ${result})
        unset(${result} CACHE)
        quib_wasi_package_missing(${package} "${contents}")
    endif()
endfunction()

quib_require_wasi_package(QUIB_WASI_LIBC wasi-libc "the C library for wasm32" stdio.h)
quib_require_wasi_package(QUIB_WASI_LIBCXX libc++-dev-wasm32 "the C++ library for wasm32" array)
find_program(QUIB_WASM_LD wasm-ld)
if(NOT QUIB_WASM_LD)
    quib_wasi_package_missing(lld "the linker wasm-ld")
endif()
quib_require_wasi_package(QUIB_WASI_LINKS libclang-rt-dev-wasm32 "the compiler runtime for wasm32"
    array LINK)

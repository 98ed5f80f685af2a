#!/bin/sh
# Starts or stops the Wine session that the Windows builds' tests share:
#   wine-session.sh start|stop WINE64-LOADER
# WINEPREFIX (set by the tests) is made fresh every time: a prefix made
# before the 32-bit Wine was installed cannot run 32-bit programs. The
# server is started up front, or the first test waits minutes for it; it
# and Wine's services must not hold the test's output open, or the test
# never ends.
set -eu
case "$1" in
start)
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # The server carries out the renames and removals of the programs under
    # test, and Wine's NUL is /dev/null: as root, a faulty build renaming
    # onto NUL would replace the machine's /dev/null. So as root the server
    # runs in a mount namespace of its own, where /dev/null and /dev/full are
    # nodes of the prefix's own bound over the real ones; a rename onto a
    # mount point or a removal of one fails, and reaches nothing outside.
    # Where no namespace can be made (a container), CI's check of the
    # devices at its end is what is left.
    if [ "$(id -u)" = 0 ] && unshare --mount true 2>/dev/null; then
        mknod -m 666 "$WINEPREFIX/null" c 1 3
        mknod -m 666 "$WINEPREFIX/full" c 1 7
        unshare --mount --propagation private sh -c \
            'mount --bind "$1/null" /dev/null && mount --bind "$1/full" /dev/full && exec wineserver -p' \
            sh "$WINEPREFIX" </dev/null >/dev/null 2>&1
    else
        wineserver -p </dev/null >/dev/null 2>&1
    fi
    timeout 300 "$2" wineboot -i </dev/null >/dev/null 2>&1
    ;;
stop)
    wineserver -k || true
    rm -rf "$WINEPREFIX"
    ;;
esac

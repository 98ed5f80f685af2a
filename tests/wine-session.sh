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
    wineserver -p </dev/null >/dev/null 2>&1
    timeout 300 "$2" wineboot -i </dev/null >/dev/null 2>&1
    ;;
stop)
    wineserver -k || true
    rm -rf "$WINEPREFIX"
    ;;
esac

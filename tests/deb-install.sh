#!/bin/sh
# Installs the Debian package on this machine (as root), wraps the sample
# picture with /usr/bin/quib, finds and renders the manual page with man,
# then purges the package and checks that none of its files is left. It
# refuses to run where quib is installed already, rather than replace it.
#
#   deb-install.sh quib_VERSION_ARCH.deb examples/sample.jpg
set -eu
deb=$(realpath "$1") sample=$(realpath "$2")
fail() { echo "deb-install: $*"; exit 1; }

installed() {
    dpkg-query -W -f '${db:Status-Status}' quib 2> /dev/null | grep -qv '^not-installed$'
}
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's|^\./\(.*[^/]\)$|/\1|p')
! installed || fail "a quib package is installed already: dpkg -P quib first"
for file in $files; do
    [ ! -e "$file" ] || fail "$file exists already; it is not this test's to replace"
done

work=$(mktemp -d)
trap 'dpkg -P quib > /dev/null 2>&1 || true; rm -rf "$work"' EXIT
dpkg -i "$deb"

cd "$work"
cp "$sample" picture.jpg
/usr/bin/quib picture.jpg picture.vms
[ "$(wc -c < picture.vms)" -eq $((704 + $(wc -c < picture.jpg))) ] &&
    tail -c +705 picture.vms | cmp -s - picture.jpg || fail "picture.vms does not wrap the sample"
page=$(man -w quib 2>&1) || true
[ "$page" = /usr/share/man/man1/quib.1.gz ] || fail "man -w quib: $page"
MANWIDTH=80 man quib 2> /dev/null | grep -q 'is not aware of any problems' ||
    fail "man quib shows no page"

dpkg -P quib
! installed || fail "quib is still installed after dpkg -P"
for file in $files; do
    [ ! -e "$file" ] || fail "$file is left after dpkg -P"
done
echo "deb-install: installed, ran, found its manual page, purged without a trace"

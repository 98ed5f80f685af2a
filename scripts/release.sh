#!/bin/sh
# Builds every release artifact of the checked-out commit into OUTDIR: the
# Linux archive (the static quib), the Debian package, both Windows zips,
# the page's site (quib-web-1.0.0.zip), and SHA256SUMS beside them.
#
#   scripts/release.sh OUTDIR
#
# Two runs on one commit give the same bytes, from any folder, at any time:
# every build starts in a fresh folder with the same settings, nothing from
# the caller's environment reaches the compilers, and SOURCE_DATE_EPOCH (the
# last commit's time, unless the caller set it) is the time of every file in
# the packages and of the Windows programs' headers.
set -eu
[ $# -eq 1 ] || { echo "usage: scripts/release.sh OUTDIR" >&2; exit 1; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
if [ -n "$(git status --porcelain)" ]; then
    echo "release.sh: the work tree differs from the commit; commit or stash first" >&2
    exit 1
fi

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
unset CC CXX CFLAGS CXXFLAGS CPPFLAGS LDFLAGS MAKEFLAGS
export LC_ALL=C TZ=UTC
umask 022  # the modes that the archives record

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
quietly() {  # the output only when the step fails
    "$@" > "$work/log" 2>&1 || { cat "$work/log" >&2; exit 1; }
}
# The page's WASI shim and the bundler that inlines it and the program into
# the page's one script, exactly as web/package-lock.json pins them, and
# nothing else: whatever web/node_modules holds is not used.
echo "release.sh: npm ci (the page's shim and bundler)"
mkdir "$work/npm"
cp web/package.json web/package-lock.json "$work/npm/"
quietly npm ci --prefix "$work/npm" --omit=dev --ignore-scripts --no-audit --no-fund
artifacts=
for preset in release deb win64 win32 web; do
    echo "release.sh: $preset"
    options=
    [ "$preset" != web ] || options="-DBUILD_TESTING=OFF -DQUIB_WEB_MODULES=$work/npm/node_modules"
    # shellcheck disable=SC2086 # the options are words
    quietly cmake --preset "$preset" -B "$work/$preset" $options
    quietly cmake --build "$work/$preset" -j 2
    (cd "$work/$preset" && quietly cpack)
    for artifact in "$work/$preset"/packages/*.tar.gz "$work/$preset"/packages/*.deb \
        "$work/$preset"/packages/*.zip; do
        [ -e "$artifact" ] || continue
        cp "$artifact" "$out/"
        artifacts="$artifacts ${artifact##*/}"
    done
done
cd "$out"
# shellcheck disable=SC2086 # one word an artifact
sha256sum $artifacts > SHA256SUMS
cat SHA256SUMS

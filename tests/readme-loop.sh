#!/bin/sh
# Runs the shell loop of the README's "Many pictures at once" as it stands
# there, with quib on the PATH, in a folder of pictures: every picture gets
# its .vms file but the empty one, which keeps an earlier .vms as it was and
# makes the status 1; without it the status is 0.
#
#   readme-loop.sh README.md path/to/quib
set -eu
export LC_ALL=C  # the order of ls
readme=$1 quib=$2
loop=$(awk '/^## Many pictures at once/ { section = 1 }
            section && /^```sh$/ { inside = 1; next }
            inside && /^```$/ { exit }
            inside' "$readme")
[ -n "$loop" ] || { echo "no sh block under '## Many pictures at once' in $readme"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/pictures"
ln -s "$(cd "$(dirname "$quib")" && pwd)/$(basename "$quib")" "$work/bin/quib"
cd "$work/pictures"
head -c 300 /dev/urandom > cat.jpg
head -c 70000 /dev/urandom > 'my dog.jpg'
: > empty.jpg
echo "an earlier result" > empty.vms

run() {
    status=0
    PATH="$work/bin:$PATH" sh -c "$loop" || status=$?
    [ "$status" -eq "$1" ] || { echo "the loop's status is $status, not $1"; exit 1; }
}
wrapped() {  # the header's 704 bytes, then the picture unchanged
    [ "$(wc -c < "$2")" -eq $((704 + $(wc -c < "$1"))) ] && tail -c +705 "$2" | cmp -s - "$1" ||
        { echo "$2 does not wrap $1"; exit 1; }
}

run 1
wrapped cat.jpg cat.vms
wrapped 'my dog.jpg' 'my dog.vms'
[ "$(cat empty.vms)" = "an earlier result" ] || { echo "empty.vms was changed"; exit 1; }
expected=$(printf '%s\n' cat.jpg cat.vms empty.jpg empty.vms 'my dog.jpg' 'my dog.vms')
[ "$(ls -A)" = "$expected" ] || { echo "the folder holds:"; ls -A; exit 1; }

rm empty.jpg cat.vms
run 0
wrapped cat.jpg cat.vms
echo "the README's loop wrapped every picture, with the right status"

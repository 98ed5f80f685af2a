#!/bin/sh
# Fails unless the Windows program carries its resources:
#   check-resources.sh EXE VERSION REFERENCE.vms
# - the application manifest, as resource 1 of type 24 (the one the loader
#   reads), well-formed (Windows will not start a program whose manifest is
#   not) and making UTF-8 the active code page;
# - the version information, naming quib and VERSION;
# - the icon, pixel for pixel the icon in the header of REFERENCE.vms, a
#   file the native build wrote.
set -eu
exe=$1 version=$2 reference=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "$exe: $*"; exit 1; }
wrestool -l "$exe"

wrestool -x --raw --type=24 --name=1 "$exe" >"$scratch/manifest"
[ -s "$scratch/manifest" ] || fail "no manifest (resource 1 of type 24)"
python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' "$scratch/manifest"
grep -q '<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>' \
    "$scratch/manifest" || fail "no activeCodePage UTF-8 in the manifest"

# The strings of the version information are UTF-16; each value follows its
# key after zero padding.
wrestool -x --raw --type=16 "$exe" | iconv -f UTF-16LE -t UTF-8 -c | tr '\0' '\n' >"$scratch/version"
value() { awk -v key="$1" 'found && NF { print; exit } $0 ~ key "$" { found = 1 }' "$scratch/version"; }
[ -s "$scratch/version" ] || fail "no version information"
[ "$(value ProductName)" = quib ] || fail "ProductName is not quib"
[ "$(value ProductVersion)" = "$version" ] || fail "ProductVersion is not $version"

wrestool -x --type=14 "$exe" >"$scratch/quib.ico"
[ -s "$scratch/quib.ico" ] || fail "no icon"
python3 "$(dirname "$0")/check_icon.py" "$scratch/quib.ico" "$reference"

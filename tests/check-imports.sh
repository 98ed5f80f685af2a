#!/bin/sh
# Fails unless the Windows program imports exactly KERNEL32.dll and
# msvcrt.dll: anything more would be a DLL the user may not have.
set -eu
objdump=$1 exe=$2
imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
echo "$exe imports: $imports"
[ "$imports" = "KERNEL32.dll msvcrt.dll " ]

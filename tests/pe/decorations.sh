#!/usr/bin/env bash
# Lists the routines that mingw's import libraries for ntoskrnl, HAL and WMILIB
# export, with their decoration (_Name@bytes stdcall, @Name@bytes fastcall, _Name cdecl).
set -euo pipefail
out=$1
libdir=/usr/i686-w64-mingw32/lib
for l in ntoskrnl hal wmilib; do
  i686-w64-mingw32-nm "$libdir/lib$l.a" | awk '$2 == "T" { print $3 }'
done | sort -u > "$out"

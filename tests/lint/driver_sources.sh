#!/usr/bin/env bash
# Source rules for the driver folders that no compiler checks:
#  - every pageable routine (VCOM_PAGED) starts with PAGED_CODE();
#  - driver code includes only the platform header and the driver's own headers.
set -u
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
fail=0
dirs=(driver lower port rx tx lines ioctl wmi)
for d in "${dirs[@]}"; do
  [ -d "$root/$d" ] || continue
  while IFS= read -r -d '' f; do
    # The first statement after the opening brace of a VCOM_PAGED definition.
    awk -v file="$f" '
      /VCOM_PAGED/ && !/;[[:space:]]*$/ { want = 1; name = $0; next }
      want && /\{/ { brace = 1; want = 0; next }
      brace && NF { if ($0 !~ /^[[:space:]]*PAGED_CODE\(\);/) { print file ": pageable routine without PAGED_CODE(): " name; bad = 1 } brace = 0 }
      END { exit bad }' "$f" || fail=1
    if grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<' "$f"; then
      echo "$f: driver code includes a system header; use platform/kernel.h"
      fail=1
    fi
  done < <(find "$root/$d" -name '*.cpp' -print0 -o -name '*.h' -print0)
done
[ $fail -eq 0 ] && echo "driver source rules: ok"
exit $fail

#!/usr/bin/env bash
# Builds every preset (host, host-asan, host-tsan, host32, host32-asan, win32, win64, and
# fuzz, whose test is a short run of the request-surface fuzzer) and runs every suite.
# Exits non-zero when any build or test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh || exit 1
jobs=$(nproc 2>/dev/null || echo 2)
status=0
for preset in host host-asan host-tsan host32 host32-asan win32 win64 fuzz; do
  echo "=== $preset"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs"; then
    echo "=== $preset: build FAILED"
    status=1
    continue
  fi
  if ! ctest --preset "$preset" -j "$jobs"; then
    echo "=== $preset: tests FAILED"
    status=1
  fi
done
[ $status -eq 0 ] && echo "=== all presets passed" || echo "=== FAILED"
exit $status

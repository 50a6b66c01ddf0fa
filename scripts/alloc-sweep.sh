#!/usr/bin/env bash
# The long form of the allocation sweep. A scripted life of a device (load, AddDevice,
# start, open, line settings, waits, data both ways, immediate character, purge,
# statistics, WMI, a power cycle, close, stop and start, a second open, surprise removal,
# removal, unload), in both transmit modes, runs once to count its allocations, then once
# per allocation with that one failing, then once per allocation with it and every later
# one failing. Every run is checked (verifier, hangs, every request completed, work
# reported done was done, nothing left after removal).
#
# It runs in the host build under AddressSanitizer and UBSan (preset host-asan) and,
# with the shipped image vcomusb.sys mapped by the emulation's loader, in the 32-bit
# build under them (host32-asan). Prints for each: allocations in a life, the sites
# reached (kind, tag, routine and the call), runs made, failures found, and what the
# driver cannot do while memory never comes back. Exits non-zero when a run failed.
#
#   scripts/alloc-sweep.sh                 # both presets
#   scripts/alloc-sweep.sh host-asan       # one (or any list of presets)
#   VCOM_SWEEP_ONLY=57 scripts/alloc-sweep.sh host-asan   # replays the runs failing allocation 57
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(host-asan host32-asan)
cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')
status=0
for preset in "${presets[@]}"; do
  case "$preset" in
    host32*) target=driver_tests_pe ;;  # the suites against the shipped image
    *) target=driver_tests ;;
  esac
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target "$target"
  log="build/$preset/alloc-sweep.log"
  echo "== $preset ($target): $cpu, $(nproc) cores, $(uname -sr)"
  start=$(date +%s)
  VCOM_SWEEP=full "build/$preset/tests/$target" --gtest_filter='AllocationSweep.*' >"$log" 2>&1 || status=1
  grep '^\[sweep\]' "$log" | sed 's/^\[sweep\] /  /'
  awk '/^\[sweep\] .* runs, .* failures/ {
         for (i = 1; i <= NF; ++i) { if ($i == "runs,") runs += $(i - 1); if ($i == "failures,") failures += $(i - 1) }
       }
       END { printf "  total: %d runs, %d failures\n", runs, failures }' "$log"
  if grep -q '^allocation ' "$log"; then
    echo "  failures (first 40; all in $log):"
    grep '^allocation ' "$log" | head -40 | sed 's/^/    /'
  fi
  grep -E '^\[  (PASSED|FAILED) ' "$log" | sed 's/^/  /' || true
  echo "  $(($(date +%s) - start)) s"
done
exit $status

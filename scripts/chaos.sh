#!/usr/bin/env bash
# The long form of the randomized concurrency runs: vcom-chaos on real threads, under
# ThreadSanitizer (preset host-tsan) and then under AddressSanitizer and UBSan (preset
# host-asan), each until CHAOS_OPS operations (default 1,000,000) are done. Runs are
# seeded one after another from CHAOS_FIRST_SEED (default 1); each failing run prints
# its seed, and `vcom-chaos --seed S` in the same preset replays it. Prints each
# preset's figures and exits non-zero when a run failed or a sanitizer reported.
#
#   scripts/chaos.sh                           both presets, 1,000,000 operations each
#   CHAOS_OPS=100000 scripts/chaos.sh host-tsan
#   build/host-tsan/tests/chaos/vcom-chaos --seed 0x2a   replays one run
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(host-tsan host-asan)
ops=${CHAOS_OPS:-1000000}
first=${CHAOS_FIRST_SEED:-1}
status=0
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target vcom-chaos
  log="build/$preset/chaos.log"
  echo "== $preset: $ops operations from seed $first (log: $log)"
  # halt_on_error: the first report ends the run, so the last seed in the log is its run.
  if ! TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1} ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1} \
    "build/$preset/tests/chaos/vcom-chaos" --ops "$ops" --first-seed "$first" >"$log" 2>&1; then
    status=1
    if grep -qE 'WARNING: ThreadSanitizer|ERROR: AddressSanitizer|runtime error' "$log"; then
      echo "  a sanitizer reported in the run of $(grep -E '^seed ' "$log" | tail -1 | cut -d: -f1):"
      grep -m3 -E 'WARNING: ThreadSanitizer|ERROR: AddressSanitizer|runtime error' "$log" | sed 's/^/    /'
    fi
  fi
  grep -E -A3 '^  FAILED' "$log" | grep -B1 -A3 FAILED | head -40 | sed 's/^/  /' || true
  sed -n '/^vcom-chaos (/,$p' "$log" | sed 's/^/  /'
done
exit $status

#!/usr/bin/env bash
# Every long form of the reliability campaign, one after another, with their figures:
# the allocation sweep (scripts/alloc-sweep.sh), the randomized concurrency runs
# (scripts/chaos.sh), the bad-configuration tests under AddressSanitizer, and the
# request-surface fuzzer (scripts/fuzz.sh). Each takes its own settings from the
# environment (CHAOS_OPS, FUZZ_RUNS, FUZZ_SECONDS, FUZZ_JOBS, ...). Exits non-zero when
# any of them found a fault. On a 2-core machine the whole takes several hours, most of
# it the fuzzer's 10,000,000 executions.
set -uo pipefail
cd "$(dirname "$0")/.."
failed=()
run() {
  local name=$1
  shift
  echo "=== $name"
  "$@" || failed+=("$name")
}
run "allocation sweep" scripts/alloc-sweep.sh
run "randomized concurrency" scripts/chaos.sh
run "bad configuration" bash -c 'set -o pipefail; cmake --preset host-asan >/dev/null && cmake --build --preset host-asan &&
  ctest --test-dir build/host-asan -R "^(BadConfiguration|BadPortName)\." --output-on-failure | tail -3'
run "request-surface fuzzer" scripts/fuzz.sh
echo "=== reliability campaign: ${#failed[@]} part(s) failed${failed:+: ${failed[*]}}"
[ ${#failed[@]} -eq 0 ]

#!/usr/bin/env bash
# The long form of the request-surface fuzzer: builds preset fuzz (clang, libFuzzer,
# AddressSanitizer and UBSan) and runs the target, one fuzzer per core, until they have
# made FUZZ_RUNS executions in all (default 10,000,000) or FUZZ_SECONDS have passed
# (default: no limit). They start from the checked-in corpus, the inputs of past
# findings and what earlier runs kept, and share the corpus they grow in
# build/fuzz/corpus, so a run can be stopped and continued later. A crash or report
# ends only the fuzzer that found it: its input is kept in build/fuzz/artifacts and
# another fuzzer takes its place. At the end the script prints the executions, exec/s,
# the coverage of the corpus, and the findings.
#
#   scripts/fuzz.sh                                   10,000,000 executions on every core
#   FUZZ_RUNS=100000 scripts/fuzz.sh                  a shorter run
#   FUZZ_JOBS=1 FUZZ_SECONDS=3600 scripts/fuzz.sh     one core for an hour at most
#
# Every run is recorded in build/fuzz/ledger.txt (date, commit, executions, seconds,
# findings), and the totals of all the runs on the shared corpus are printed: on a
# machine too slow for 10,000,000 executions at one sitting, a run stopped by
# FUZZ_SECONDS and continued later still counts towards them.
#
# A finding's input replays, with the emulation's report and a trace of its operations,
# in any host build:
#   VCOM_FUZZ_TRACE=1 build/host/tests/fuzz/fuzz_replay build/fuzz/artifacts/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
runs=${FUZZ_RUNS:-10000000}
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
seconds=${FUZZ_SECONDS:-0}
chunk=${FUZZ_CHUNK:-250000}  # executions per fuzzer before another takes over

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

root=$(pwd)
out=$root/build/fuzz
fuzzer=$out/tests/fuzz/vcom_fuzz
mkdir -p "$out/corpus" "$out/artifacts"
logs=$out/logs/$(date +%Y%m%d-%H%M%S)
mkdir -p "$logs"
before=$(find "$out/artifacts" -type f | wc -l)
started=$(date +%s)
total=0
batch=0
# Reports carry no allocation stacks, and fresh memory is not filled: the stacks cost
# more than the rest of an execution (fuzz_replay in preset host-asan shows them in
# full), and the emulation fills the pool it hands the driver with a pattern of its own.
# Together they are about a sixth of the fuzzers' time.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=0:max_malloc_fill_size=0}
while [ "$total" -lt "$runs" ]; do
  left=0
  if [ "$seconds" -gt 0 ]; then
    left=$(( seconds - ($(date +%s) - started) ))
    [ "$left" -gt 0 ] || break
  fi
  # Fuzzers of at most $chunk executions each, $jobs at a time: one that stops at a
  # finding is replaced at once. A run with a time limit starts one per core.
  per=$(( (runs - total + jobs - 1) / jobs ))
  [ "$per" -le "$chunk" ] || per=$chunk
  count=$jobs
  [ "$seconds" -gt 0 ] || count=$(( (runs - total + per - 1) / per ))
  batch=$((batch + 1))
  mkdir -p "$logs/$batch"
  (cd "$logs/$batch" && "$fuzzer" -jobs="$count" -workers="$jobs" -runs="$per" -max_total_time="$left" \
    -print_final_stats=1 -max_len=2048 -timeout=30 -dict="$root/tests/fuzz/vcomusb.dict" \
    -artifact_prefix="$out/artifacts/" "$out/corpus" "$root/tests/fuzz/corpus" "$root/tests/fuzz/regressions" \
    >/dev/null 2>&1) || true  # a finding ends one fuzzer; it is counted from the artifacts
  made=$(cat "$logs/$batch"/fuzz-*.log | sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' |
         awk '{s += $1} END {print s + 0}')
  # A fuzzer that crashed prints no final statistics: its last status line counts.
  for f in "$logs/$batch"/fuzz-*.log; do
    grep -q '^stat::number_of_executed_units' "$f" && continue
    last=$(grep -oE '^#[0-9]+' "$f" | tail -1 | tr -d '#' || true)
    made=$(( made + ${last:-0} ))
  done
  total=$((total + made))
  echo "batch $batch: $made executions, $total in all, $(( $(date +%s) - started )) s"
  [ "$made" -gt 0 ] || break
done
elapsed=$(( $(date +%s) - started ))

# The coverage the whole corpus reaches, from a pass over it that fuzzes nothing.
inited=$("$fuzzer" -runs=0 -max_len=2048 "$out/corpus" "$root/tests/fuzz/corpus" 2>&1 | grep -E 'INITED' | tail -1)
after=$(find "$out/artifacts" -type f | wc -l)
echo "=== request-surface fuzzer, long form"
echo "machine:     $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'); $jobs fuzzers"
echo "executions:  $total"
echo "seconds:     $elapsed"
echo "exec/s:      $(( elapsed > 0 ? total / elapsed : total ))"
coverage=$(sed -E 's/.*(cov: [0-9]+ ft: [0-9]+).*/\1/' <<<"$inited")
echo "coverage:    $coverage (the corpus: $(find "$out/corpus" -type f | wc -l) inputs)"
echo "findings:    $(( after - before )) new in $out/artifacts"
echo "logs:        $logs"
printf '%s %s %d %d %d\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$(git rev-parse --short HEAD 2>/dev/null || echo unknown)" \
  "$total" "$elapsed" "$(( after - before ))" >>"$out/ledger.txt"
awk '{ runs++; execs += $3; secs += $4; found += $5 }
     END { printf "all runs:    %d executions in %d s over %d runs on this corpus, %d findings (%s)\n", execs, secs, runs, found, FILENAME }' \
  "$out/ledger.txt"
if [ "$seconds" -eq 0 ] && [ "$total" -lt "$runs" ]; then
  echo "the fuzzers made $total of $runs executions (see $logs)" >&2
  exit 1
fi
[ "$after" -eq "$before" ]

#!/usr/bin/env bash
# CI's short run of the request-surface fuzzer (preset fuzz): the checked-in corpus and
# the inputs of past findings first, then about 45 s of fuzzing from them with the
# dictionary. A finding fails the test; its input is left in WORK/artifacts.
# Usage: short_run.sh FUZZER SOURCE_DIR WORK_DIR
set -euo pipefail
fuzzer=$1
src=$2
work=$3
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
# New inputs go to the first directory, a scratch one: the checked-in corpus stays as it is.
exec "$fuzzer" -dict="$src/vcomusb.dict" -max_len=2048 -timeout=30 -seed=1 \
  -max_total_time="${VCOM_FUZZ_SECONDS:-45}" -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
  "$work/corpus" "$src/corpus" "$src/regressions"

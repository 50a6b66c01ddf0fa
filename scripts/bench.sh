#!/usr/bin/env bash
# Builds the benchmark optimised (preset host-release: the emulation's verifier and
# accounting as in the tests, no sanitizer) and runs it: one table on the terminal, the
# same figures in build/bench/results.csv and results.json, and, where gnuplot is
# installed, build/bench/throughput.png (receive MB/s against read size, this driver
# and a pseudo-terminal pair). Arguments go to vcom-bench (--reps N, --seconds S,
# --only SECTION, --sizes N,N,..., --no-pty).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target vcom-bench
mkdir -p build/bench
status=0
build/host-release/bench/vcom-bench --out build/bench "$@" | tee build/bench/table.txt || status=$?
if command -v gnuplot >/dev/null && [ -s build/bench/throughput.dat ]; then
  gnuplot <<'PLOT'
set terminal png size 900,560
set output 'build/bench/throughput.png'
set title 'Receive throughput against read size'
set xlabel 'read size (bytes)'
set ylabel 'MB/s'
set logscale x 2
set logscale y 10
set key top left
set grid
plot 'build/bench/throughput.dat' using 1:2 with linespoints lw 2 title 'vcomusb (driver in the kernel emulation)', \
     'build/bench/throughput.dat' using 1:3 with linespoints lw 2 title 'Linux pseudo-terminal pair (raw)'
PLOT
  echo "drawn: build/bench/throughput.png"
else
  echo "gnuplot is not installed: no build/bench/throughput.png (the data is in build/bench/throughput.dat)"
fi
exit $status

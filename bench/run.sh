#!/usr/bin/env bash
# The benchmarks in one command: both engine forms side by side on a whole
# 45,000,000-byte input (times and ratio); the engine's blocks beside the
# library's stream and the program on a file and on a pipe (20,000,000 bytes,
# five rounds: medians and the loss of each against the blocks), and the peak
# memory of one stream of unknown size; then the real program's wall time and
# peak memory at the sizes that matter. Takes about twenty minutes (the
# reference form alone needs more than two, the rounds about ten).
#
#   bench/run.sh            add --operations for each engine operation alone
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset bench >/dev/null
echo "== Whole input, production form beside reference form"
build/bench/bench/whole_file_bench 45000000
echo
echo "== The engine's blocks, the library and the program, alternately"
build/bench/bench/library_bench 20000000 5
echo
echo "== The library's memory"
build/bench/bench/library_bench --memory 44999999
echo
echo "== The program, whole runs"
bench/run_program.sh 5000 29999999 45000000
if [ "${1:-}" = "--operations" ]; then
  echo
  echo "== Each engine operation on a 15,000,004-byte block"
  build/bench/bench/engine_bench
fi

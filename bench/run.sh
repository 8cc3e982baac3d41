#!/usr/bin/env bash
# The benchmarks in one command: both engine forms side by side on a whole
# 45,000,000-byte input (times and ratio), then the real program's wall time
# and peak memory at the sizes that matter. Takes a few minutes (the
# reference form alone needs more than two).
#
#   bench/run.sh            add --operations for each engine operation alone
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset bench >/dev/null
echo "== Whole input, production form beside reference form"
build/bench/bench/whole_file_bench 45000000
echo
echo "== The program, whole runs"
bench/run_program.sh 5000 29999999 45000000
if [ "${1:-}" = "--operations" ]; then
  echo
  echo "== Each engine operation on a 15,000,004-byte block"
  build/bench/bench/engine_bench
fi

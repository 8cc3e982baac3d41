#!/usr/bin/env bash
# Whole runs of the real program: wall time and peak resident memory of
# encrypting and decrypting files of the sizes that matter (the smallest
# input, the largest single block, and a three-block file), measured with
# /usr/bin/time -v. Builds the release preset first.
#
#   bench/run_program.sh [sizes...]      default: 5000 29999999 45000000
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset release >/dev/null
program=$PWD/build/release/tolbrek5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(5000 29999999 45000000)
key="a benchmark key of some length"

measure() {  # label, then the program's arguments
  local label=$1
  shift
  /usr/bin/time -v "$program" "$@" >/dev/null 2>"$work/time.txt" || { cat "$work/time.txt"; exit 1; }
  local wall rss
  wall=$(grep 'Elapsed (wall clock)' "$work/time.txt" | awk '{print $NF}')
  rss=$(grep 'Maximum resident set size' "$work/time.txt" | awk '{print $NF}')
  printf '%-28s %10s  %8.1f MiB\n' "$label" "$wall" "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')"
}

printf '%-28s %10s  %12s\n' "run" "wall" "peak memory"
for size in "${sizes[@]}"; do
  head -c "$size" /dev/urandom >"$work/plain"
  measure "encrypt $size bytes" ec "$work/plain" "$work/enc" "$key"
  measure "decrypt $size bytes" dc "$work/enc" "$work/dec" "$key"
  cmp -s "$work/plain" "$work/dec" || { echo "round trip of $size bytes failed"; exit 1; }
done

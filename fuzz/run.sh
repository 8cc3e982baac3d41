#!/usr/bin/env bash
# Builds the fuzz target (preset "fuzz", clang) and runs it for SECONDS
# seconds (default 60):
#   decrypt_fuzzer  arbitrary bytes decrypted with arbitrary keys by the engine
# It starts from fuzz/corpus/<target>/, all replayed first: named seeds and
# regression inputs, and inputs of longer runs that added coverage (merged
# with: build/fuzz/fuzz/<target>_fuzzer -merge=1 fuzz/corpus/<target>
# build/fuzz/corpus/<target>). Inputs a run finds go to
# build/fuzz/corpus/<target>/. A crash,
# sanitizer report, failed check, hang or memory blow-up writes its input to
# build/fuzz/artifacts/<target>/ and fails the script: fix the fault, then
# keep the input in fuzz/corpus/<target>/ as a regression input.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
for target in decrypt; do
  work=build/fuzz/run/$target
  mkdir -p "build/fuzz/corpus/$target" "build/fuzz/artifacts/$target" "$work/tmp"
  echo "== ${target}_fuzzer, ${seconds} s"
  if ! TMPDIR="$PWD/$work/tmp" "build/fuzz/fuzz/${target}_fuzzer" \
      "build/fuzz/corpus/$target" "fuzz/corpus/$target" \
      -max_total_time="$seconds" -max_len=20000 -timeout=60 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/artifacts/$target/" >"$work/log" 2>&1; then
    status=1
    tail -n 60 "$work/log"
    echo "${target}_fuzzer FAILED; the input is in build/fuzz/artifacts/$target/"
  fi
  grep -E '^Done|stat::number_of_executed_units|stat::peak_rss_mb' "$work/log" || true
  rm -rf "$work/tmp"
done
exit $status

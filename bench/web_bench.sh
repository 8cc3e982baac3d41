#!/usr/bin/env bash
# The page against the program: encrypting the same 10,000,000 bytes in
# headless Chromium and with the program, and the ratio of the times
# (bench/web_bench.mjs). Builds the page and the release program first;
# needs 'npm ci' in web/ once.
#
#   bench/web_bench.sh [size]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset web >/dev/null && cmake --build --preset web >/dev/null
cmake --workflow --preset release >/dev/null
NODE_PATH=$PWD/web/node_modules node bench/web_bench.mjs "$@"

#!/usr/bin/env bash
# Builds the optimised program, encrypts a sample file of 100000 bytes with a
# text key, decrypts it again and checks that the round trip gives back the
# same bytes. Works in a scratch directory that is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset release
program=$PWD/build/release/tolbrek5

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Sample plaintext: the numbers 1, 2, 3, ... one a line, cut at 100000 bytes.
seq 1 20000 > numbers.txt
head -c 100000 numbers.txt > sample.txt
key="Some words here"

# Runs tolbrek5 with a command, two file names and a text key, showing the
# command line first.
run() {
  echo
  echo "\$ tolbrek5 $1 $2 $3 \"$4\""
  local status=0
  "$program" "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "demo: tolbrek5 $1 failed (exit status $status)" >&2
    exit 1
  fi
}

run ec sample.txt sample.enc "$key"
run dc sample.enc sample.out "$key"

echo
size() { stat -c %s "$1"; }
echo "sample.txt $(size sample.txt) bytes, sample.enc $(size sample.enc) bytes," \
  "sample.out $(size sample.out) bytes"
# One block: the encrypted file is 4 bytes longer than the plaintext.
if [ "$(size sample.enc)" -ne 100004 ]; then
  echo "demo: the encrypted file should have 100004 bytes" >&2
  exit 1
fi
if cmp -s sample.txt sample.enc; then
  echo "demo: the encrypted file equals the plaintext" >&2
  exit 1
fi
if ! cmp sample.txt sample.out; then
  echo "demo: decrypting did not give back the plaintext" >&2
  exit 1
fi
echo "demo: round trip ok, sample.out is identical to sample.txt"

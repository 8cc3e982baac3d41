#!/usr/bin/env bash
# The Linux and the Windows program write the same encrypted files and read
# each other's. Encrypts the same inputs (a text key and a key file, one
# block and two blocks) with both, demands byte-identical ciphertexts, and
# decrypts each program's ciphertext with the other one.
#
# Usage: scripts/cross_check.sh LINUX_PROGRAM WINDOWS_EXE
# The Windows program runs under Wine (WINE, default /usr/lib/wine/wine64).
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
wine=${WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Inputs: pseudo-random bytes (one block, and two blocks: 30 MB and more),
# and a key file.
head -c 70000 /dev/urandom > one.bin
head -c 30000123 /dev/urandom > two.bin
head -c 4096 /dev/urandom > key.bin
# ASCII: a text key outside it is read in the ANSI code page on Windows.
key="Some words here, and some more"

failures=0
# check NAME COMMAND... : runs a command that must end with status 0.
check() {
  local name=$1
  shift
  local status=0
  "$@" >"$name.log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    echo "FAILED: $name (status $status)"
    cat "$name.log"
    failures=$((failures + 1))
  fi
}

for input in one two; do
  for keykind in text file; do
    if [ "$keykind" = text ]; then enc=ec dec=dc k=$key; else enc=ef dec=df k=key.bin; fi
    base=$input.$keykind
    check "$base.linux.enc" "$linux" "$enc" "$input.bin" "$base.linux.enc" "$k"
    check "$base.windows.enc" "$wine" "$windows" "$enc" "$input.bin" "$base.windows.enc" "$k"
    if ! cmp -s "$base.linux.enc" "$base.windows.enc"; then
      echo "FAILED: $base: the two programs' ciphertexts differ"
      failures=$((failures + 1))
    fi
    # Each decrypts the other's.
    check "$base.by-windows" "$wine" "$windows" "$dec" "$base.linux.enc" "$base.by-windows" "$k"
    check "$base.by-linux" "$linux" "$dec" "$base.windows.enc" "$base.by-linux" "$k"
    for back in "$base.by-windows" "$base.by-linux"; do
      if ! cmp -s "$input.bin" "$back"; then
        echo "FAILED: $back does not give back $input.bin"
        failures=$((failures + 1))
      fi
    done
    echo "$base: identical ciphertexts, each program decrypts the other's"
  done
done

# Standard input and output as the host's own pipe and files, whose Wine handles tell no file
# identity: encrypting from a pipe into a file, decrypting from a file into a file.
# shellcheck disable=SC2002  # a pipe, not the file itself, is the point
piped() { cat one.bin | "$wine" "$windows" ec - - "$key" > one.piped.enc; }
redirected() { "$wine" "$windows" dc - - "$key" < one.piped.enc > one.redirected; }
check one.piped piped
check one.redirected redirected
if ! cmp -s one.text.linux.enc one.piped.enc || ! cmp -s one.bin one.redirected; then
  echo "FAILED: the Windows program's standard streams on the host's pipe and files"
  failures=$((failures + 1))
fi
echo "one: the Windows program reads and writes the host's pipe and files as streams"

if [ "$failures" -ne 0 ]; then
  echo "cross check: $failures failures"
  exit 1
fi
echo "cross check: the Linux and the Windows program agree"

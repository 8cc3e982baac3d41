#!/usr/bin/env bash
# Builds examples/ against an installed copy of the library, as a user would:
# once as a CMake project (find_package) and once with pkg-config. Both must
# give back a known-answer vector's plaintext byte for byte from the
# ciphertext the program makes of it (checked against its SHA-256), and the
# same for a larger input read in several chunks; a wrong key must give
# status 1, " Decryption failed" and no output. A shared library must export
# the C interface alone.
#
# Usage: check_examples.sh BUILD_TREE PROGRAM SCRATCH_DIRECTORY
# (the C compiler is $CC, or cc).
set -euo pipefail
build=$(realpath "$1")
program=$(realpath "$2")
scratch=$3
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
vector=v2
warnings=(-Wall -Wextra -Wconversion -Wsign-conversion -Wshadow -Wpedantic -Werror)

fail() {
  echo "FAILED: $*"
  exit 1
}

rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(realpath "$scratch")
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
  fail "cmake --install: $(cat "$scratch/install.log")"
pc_file=$(find "$prefix" -name tolbrek5.pc)
[ -n "$pc_file" ] || fail "no tolbrek5.pc installed"
libdir=$(dirname "$(dirname "$pc_file")")

# The shared library, if that is what was built, exports only tolbrek5_*.
if [ -e "$libdir/libtolbrek5.so" ]; then
  exported=$(nm -D --defined-only "$libdir/libtolbrek5.so" | awk '{print $3}')
  others=$(grep -v '^tolbrek5_' <<<"$exported" || true)
  [ -z "$others" ] || fail "libtolbrek5.so exports more than the C interface: $others"
  grep -qx tolbrek5_stream_process <<<"$exported" || fail "libtolbrek5.so lacks its interface"
  export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
fi

# The two builds of the example.
cmake -S "$source_dir/examples" -B "$scratch/find_package" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="${warnings[*]}" >"$scratch/configure.log" 2>&1 ||
  fail "configuring examples/ with find_package: $(cat "$scratch/configure.log")"
cmake --build "$scratch/find_package" >"$scratch/build.log" 2>&1 ||
  fail "building examples/ with find_package: $(cat "$scratch/build.log")"
command -v pkg-config >/dev/null || fail "pkg-config is not installed"
flags=$(PKG_CONFIG_PATH=$(dirname "$pc_file") pkg-config --cflags --libs --static tolbrek5)
# shellcheck disable=SC2086 # the flags are words
"${CC:-cc}" -std=c99 "${warnings[@]}" -o "$scratch/decrypt_pkg_config" \
  "$source_dir/examples/decrypt.c" $flags || fail "building decrypt.c with pkg-config ($flags)"
examples=("$scratch/find_package/decrypt" "$scratch/decrypt_pkg_config")

# The vector's plaintext: xorshift32 bytes from its seed.
IFS=$'\t' read -r _ size recipe key sha256 _ < <(awk -F'\t' -v name="$vector" '$1 == name' \
  "$source_dir/tests/data/vectors/vectors.tsv")
[[ $recipe == xs* && $key == t:* ]] || fail "$vector is not xorshift bytes under a text key"
key=${key#t:}
x=${recipe#xs}
bytes=
for ((i = 0; i < size; i++)); do
  x=$(((x ^ (x << 13)) & 0xffffffff))
  x=$((x ^ (x >> 17)))
  x=$(((x ^ (x << 5)) & 0xffffffff))
  printf -v octal '\\%03o' $((x & 255))
  bytes+=$octal
done
cd "$scratch"
printf "$bytes" >"$vector.plain"
"$program" ec "$vector.plain" "$vector.enc" "$key" >/dev/null ||
  fail "the program did not encrypt $vector"
[ "$(sha256sum <"$vector.enc" | cut -d' ' -f1)" = "$sha256" ] ||
  fail "the program's ciphertext of $vector is not the known answer"
# Three chunks of the example's 65536 bytes exactly, so the end comes alone.
for ((i = 0; i < 40; i++)); do cat "$vector.plain"; done | head -c 196608 >long.plain
"$program" ec long.plain long.enc "$key" >/dev/null || fail "the program did not encrypt long.plain"

for example in "${examples[@]}"; do
  name=$(basename "$example")
  for input in "$vector" long; do
    status=0
    "$example" "$key" <"$input.enc" >"$input.$name" 2>"$name.err" || status=$?
    [ "$status" -eq 0 ] || fail "$name on $input.enc: status $status, $(cat "$name.err")"
    cmp -s "$input.plain" "$input.$name" || fail "$name does not give back $input.plain"
  done
  status=0
  "$example" "$key!" <"$vector.enc" >wrong.$name 2>"$name.err" || status=$?
  [ "$status" -eq 1 ] || fail "$name with a wrong key: status $status, expected 1"
  [ "$(cat "$name.err")" = " Decryption failed" ] ||
    fail "$name with a wrong key says \"$(cat "$name.err")\""
  [ ! -s "wrong.$name" ] || fail "$name with a wrong key wrote output"
  echo "$name: decrypts $vector and a three-chunk input, refuses a wrong key"
done
rm -rf "$scratch"

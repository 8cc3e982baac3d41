#!/usr/bin/env bash
# Mutation run: applies each single-point fault of scripts/mutants.tsv to
# src/ in turn, rebuilds incrementally, runs the tests and records which of
# them fail (kill the fault). Not part of CI: a full run takes about half an
# hour on two cores.
#
#   scripts/mutate.sh [ID...]     every fault, or only the named ones
#
# Faults labelled "web" (the page, web/) are built by Emscripten in WEB_BUILD
# (default build/mutate-web, configured like the "web" preset, without the
# two-block comparison with the program) and run the "web" label there.
#
# Environment: BUILD (build tree, default build/mutate, configured like the
# "test" preset), FAST (ctest arguments for every fault, default
# "-L unit|cli"), SLOW (added for faults marked "slow", default "-L slow"; faults
# marked "fuzz" add the fuzz test, "-L fuzz"),
# JOBS (default 2), TEST_TIMEOUT (seconds per test, default 300), RUN_LIMIT
# (seconds for all the fast tests of one fault, default 300, four times that
# for the slow ones: a fault that makes runs hang is stopped then).
# Each fault's file is restored right after its run, also when the script is
# interrupted. Results go to $BUILD/mutants.out (id, file, what, killed by)
# and are printed as a table at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD:-build/mutate}
fast=${FAST:--L unit|cli}
slow=${SLOW:--L slow}
jobs=${JOBS:-2}
timeout=${TEST_TIMEOUT:-300}
limit=${RUN_LIMIT:-300}
web_build=${WEB_BUILD:-build/mutate-web}
list=scripts/mutants.tsv
results=$build/mutants.out

cmake -S . -B "$build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g" -DTOLBREK5_BUILD_TESTS=ON >/dev/null

# Applies one fault to its file, or with --check only checks that it would
# apply: the original text must occur exactly once.
apply() {
  python3 - "$@" <<'PY'
import sys
check = sys.argv[1] == '--check'
path, orig, repl = sys.argv[1 + check:4 + check]
unescape = lambda s: s.replace('\\n', '\n').replace('\\t', '\t')
orig, repl = unescape(orig), unescape(repl)
text = open(path).read()
if text.count(orig) != 1:
    sys.exit(f"{path}: the original text occurs {text.count(orig)} times: {orig!r}")
if not check:
    open(path, 'w').write(text.replace(orig, repl))
PY
}

# Whether fault $1 is one of those asked for (all when none were named).
selected() {
  [ "$named" = 0 ] || printf '%s\n' "${names[@]}" | grep -qx -- "$1"
}
names=("$@")
named=$#

# The list's lines, tabs turned into the unit separator: a tab in IFS is white
# space, and runs of it would merge an empty replacement (a deleted text) into
# the next field.
faults() { tr '\t' '\037' <"$list"; }

# Every fault to be run must apply before any is: a fault whose text the code
# no longer holds would otherwise stop a long run half-way.
stale=0
while IFS=$'\x1f' read -r -u 3 id file orig repl _; do
  case "$id" in '#'* | '') continue ;; esac
  selected "$id" || continue
  apply --check "$file" "$orig" "$repl" || { echo "  (fault $id)" >&2; stale=1; }
done 3< <(faults)
[ "$stale" = 0 ] || exit 1

# Runs the tests (ctest arguments $2...) for at most $1 seconds, in a
# process group of their own so that a fault that makes the program hang can
# be stopped; prints the names of the tests that failed, blank-separated.
run_tests() {
  local limit=$1 log=$build/mutant-ctest.log waited=0 pid
  shift
  # shellcheck disable=SC2068
  setsid ctest --test-dir "${test_dir:-$build}" $@ -j "$jobs" --timeout "$timeout" >"$log" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    if [ "$waited" -ge "$limit" ]; then
      kill -- -"$pid" 2>/dev/null || true
      sleep 2
      kill -KILL -- -"$pid" 2>/dev/null || true
      echo -n "(hangs: stopped after ${limit} s) "
      break
    fi
    sleep 2
    waited=$((waited + 2))
  done
  wait "$pid" 2>/dev/null || true
  sed -nE 's/.*Test +#[0-9]+: ([^ ]+) .*\*\*\*.*/\1/p' "$log" | tr '\n' ' '
}

backup=""
target=""
restore() {
  if [ -n "$backup" ]; then
    cp "$backup" "$target"
    backup=""
  fi
}
trap restore EXIT INT TERM

# The unmutated page and its tests must pass before the page's first fault is
# run (a missing browser or npm package would fail them all, and every fault
# would count as caught); prints what fails without a fault, once.
web_checked=""
web_failing=""
check_web() {
  [ -z "$web_checked" ] || return 0
  web_checked=yes
  [ -d "$web_build" ] || cmake --preset web -B "$web_build" -DTOLBREK5_WEB_PROGRAM= >/dev/null
  if cmake --build "$web_build" -j "$jobs" >"$build/mutant-build.log" 2>&1; then
    web_failing=$(test_dir=$web_build run_tests "$limit" -L web)
  else
    web_failing="(the unmutated page does not build)"
  fi
  [ -z "$web_failing" ] || echo "the page's tests fail without any fault: $web_failing"
}

# The unmutated program and tests must pass first (the page's tests instead,
# when only its faults are run).
if [ $# -gt 0 ] && ! grep -v '^#' "$list" | awk -F'\t' '$5 != "web" {print $1}' |
    grep -qxF -f <(printf '%s\n' "$@"); then
  echo "== unmutated page and tests"
  check_web
  before=$web_failing
else
  echo "== unmutated build and tests"
  cmake --build "$build" -j "$jobs" >"$build/mutant-build.log" 2>&1 || { tail -30 "$build/mutant-build.log"; exit 1; }
  # shellcheck disable=SC2086
  before=$(run_tests "$limit" $fast)
fi
if [ -n "$before" ]; then
  echo "tests fail without any fault: $before"
  exit 1
fi

: >"$results"
while IFS=$'\x1f' read -r -u 3 id file orig repl labels what; do
  case "$id" in '#'* | '') continue ;; esac
  selected "$id" || continue
  if [ "$labels" = web ]; then
    check_web
    if [ -n "$web_failing" ]; then
      printf '%s\t%s\t%s\t%s\n' "$id" "$file" "$what" "(not run)" >>"$results"
      printf '%-24s %s\n' "$id" "(not run: the page's tests fail without any fault)"
      continue
    fi
  fi
  target=$root/$file
  backup=$build/mutant-backup
  cp "$target" "$backup"
  apply "$target" "$orig" "$repl"
  start=$SECONDS
  targets="tolbrek5 tolbrek5_fault_shim unit_tests cli_tests wipe_tests"
  if [ "$labels" = slow ]; then targets="$targets slow_tests"; fi
  if [ "$labels" = fuzz ]; then targets="$targets fuzz_stream"; fi
  # shellcheck disable=SC2086
  if [ "$labels" = web ]; then
    if cmake --build "$web_build" -j "$jobs" --target tolbrek5_web >"$build/mutant-build.log" 2>&1
    then
      killers=$(test_dir=$web_build run_tests "$limit" -L web)
    else
      killers="(does not build)"
    fi
  elif cmake --build "$build" -j "$jobs" --target $targets >"$build/mutant-build.log" 2>&1; then
    # Faults of examples/ and of the install rules show in the ship tests.
    if [ "$labels" = ship ]; then
      killers=$(run_tests "$limit" -L ship)
    else
      killers=$(run_tests "$limit" $fast)
    fi
    if [ "$labels" = slow ]; then killers="$killers$(run_tests $((4 * limit)) $slow)"; fi
    if [ "$labels" = fuzz ]; then killers="$killers$(run_tests "$limit" -L fuzz)"; fi
  else
    killers="(does not build)"
  fi
  killers=${killers% }
  [ -n "$killers" ] || killers=SURVIVED
  restore
  printf '%s\t%s\t%s\t%s\n' "$id" "$file" "$what" "$killers" >>"$results"
  printf '%-24s %4ss  %s\n' "$id" $((SECONDS - start)) "$killers"
done 3< <(faults)

# Leave the builds matching the restored sources.
cmake --build "$build" -j "$jobs" >"$build/mutant-build.log" 2>&1 || true
[ ! -d "$web_build" ] || cmake --build "$web_build" -j "$jobs" >/dev/null 2>&1 || true
echo
echo "== results ($results)"
column -t -s $'\t' "$results"

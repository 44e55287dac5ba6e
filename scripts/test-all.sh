#!/usr/bin/env bash
# Builds every configuration and runs every test: linux, win64 and win32
# (under Wine), the native suite under ThreadSanitizer and under
# AddressSanitizer with UndefinedBehaviorSanitizer, and the libFuzzer targets
# (clang) for a bounded time each. Installs what is missing
# first. Usage: scripts/test-all.sh [configuration ...]
#
# The tests mostly wait, so the next configuration builds, at a lower CPU
# priority, while the previous one's tests run; the Wine prefix is made
# while the first Windows configuration builds. Tests of two configurations
# never run at the same time, and the tests labelled "serial" (the stress
# program) run alone, after the others; the niced build goes on meanwhile,
# on the CPU time they leave (the stress program sleeps most of its run).
#
# Per configuration: build/<name>-test.log has what CTest printed,
# build/<name>-output.log every test's full output (CTest's LastTest.log of
# each pass); build/test-all-times.txt has the seconds of each stage.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh || exit 1

configs=("$@")
((${#configs[@]})) || configs=(linux win64 win32 tsan asan fuzz)

passed=0 failed=0 broken=()
# The sanitizers stop at the first report. TSan runs without address-space
# randomization (setarch -R): its shadow memory does not fit some layouts.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1 abort_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1"

# Seconds since `$1` (an $EPOCHREALTIME), with one decimal.
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
start=$EPOCHREALTIME
mkdir -p build
times="build/test-all-times.txt"
printf '%-8s %10s %10s %10s\n' configuration build-s wait-s test-s >"$times"

# CTest's parallel jobs: the native and Wine suites mostly sleep; under the
# sanitizers each test costs more CPU; each fuzz target runs for a fixed
# time, so all of them run at once.
jobs_for() {
  case $1 in
    tsan | asan) echo 4 ;;
    fuzz) echo 3 ;;
    *) echo 8 ;;
  esac
}

# A configuration whose programs run under Wine has the launcher of its
# cross toolchain in its build folder.
launcher_of() { echo "build/$1/wine-run"; }

# --- The builder ---------------------------------------------------------------
# Every configuration in turn, niced, each announcing itself done through
# build/<name>.built ("<exit code> <seconds>"). After configuring the first
# configuration that runs under Wine it starts making the Wine prefix
# (build/wine-prefix.log). It runs in its own process group (set -m), so
# that it can be ended as a whole.
build_all() {
  local c t rc prefix_started=0
  for c in "${configs[@]}"; do
    t=$EPOCHREALTIME
    rc=0
    nice -n 15 cmake --preset "$c" >"build/$c-configure.log" 2>&1 || rc=1
    if ((rc == 0 && !prefix_started)) && [[ -x $(launcher_of "$c") ]]; then
      "$(launcher_of "$c")" --prepare >build/wine-prefix.log 2>&1 &
      prefix_started=1
    fi
    ((rc == 0)) && { nice -n 15 cmake --build "build/$c" >"build/$c-build.log" 2>&1 || rc=1; }
    echo "$rc $(since "$t")" >"build/$c.built.part" && mv "build/$c.built.part" "build/$c.built"
  done
}

start_builder() {
  rm -f build/*.built
  set -m
  build_all </dev/null &
  builder=$!
  set +m
  trap 'kill -- "-$builder" 2>/dev/null' EXIT
}

# wait_built CONFIG: waits for the configuration's build; sets build_rc,
# build_s and wait_s.
wait_built() {
  local t=$EPOCHREALTIME
  until [[ -f build/$1.built ]]; do sleep 1; done
  read -r build_rc build_s <"build/$1.built"
  wait_s=$(since "$t")
}

# --- Tests ---------------------------------------------------------------------
# run_pass CONFIG LOG NAME CTEST-ARGUMENTS...: one CTest pass, which prints
# into LOG; its full output (LastTest.log, which the next CTest run of the
# folder replaces) is added to build/<config>-output.log under "=== NAME".
run_pass() {
  local c=$1 log=$2 name=$3 runner=() rc
  shift 3
  [[ $c == tsan ]] && runner=(setarch "$(uname -m)" -R)
  "${runner[@]}" ctest --test-dir "build/$c" "$@" >"$log" 2>&1
  rc=$?
  { echo "=== $name tests"; cat "build/$c/Testing/Temporary/LastTest.log"; } >>"build/$c-output.log" 2>&1
  return $rc
}

# run_tests CONFIG LOG: all but the serial tests in parallel, then those one
# at a time.
run_tests() {
  local c=$1 log=$2 rc
  rm -f "build/$c-output.log"
  run_pass "$c" "$log" parallel -j"$(jobs_for "$c")" -LE serial --output-on-failure --no-tests=error
  rc=$?
  # These print everything (their figures), so a failure shows its tail here.
  if ctest --test-dir "build/$c" -N -L serial | grep 'Test *#' >/dev/null; then
    if ! run_pass "$c" "$log.serial" serial -L serial -V; then
      rc=1
      echo "--- $c: the serial tests failed; their output ends:"; tail -n 60 "$log.serial"
    fi
    { echo "=== serial tests"; cat "$log.serial"; } >>"$log" && rm -f "$log.serial"
  fi
  return $rc
}

# Whether LOG shows that the configuration failed before its tests ran: a
# test program's listing of its tests (GoogleTest discovery, run when CTest
# starts) failed, or CTest's parallel pass started no test.
no_test_ran() {
  grep -q 'Error running test executable' "$1" ||
    ! sed '/^=== serial tests/q' "$1" | grep -E '^ *Start +[0-9]+:' >/dev/null
}

# Adds LOG's counts to the totals.
count_results() {
  local p f n
  while read -r p; do
    f=${p%% *}; n=${p##* }
    passed=$((passed + n - f)); failed=$((failed + f))
  done < <(grep -oE '[0-9]+ tests failed out of [0-9]+' "$1")
}

# The failed tests of LOG, and what each printed last (CTest puts it after
# the test's line, whose result starts with "***": ***Failed, ***Timeout,
# ***Exception, ***Not Run).
report_failures() {
  grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|Not Run|Exception|SEGFAULT|Subprocess aborted)\)' "$1" | head -20
  awk '/Test +#[0-9]+: .*\*\*\*/ { n = 60; print "--- " $0; next }
       /^ +Start +[0-9]+:|Test +#[0-9]+:/ { n = 0 }
       n > 0 { print; n-- }' "$1" | head -n 200
}

# Each fuzz target's run count ("Done N runs in S second(s)"), from the full
# output of CONFIG's tests.
fuzz_runs() {
  awk -v c="$1" '/^[0-9]+\/[0-9]+ Test: / { test = $3 }
                 /^Done [0-9]+ runs in / { printf "%-8s %s: %s\n", c, test, $0 }' "build/$1-output.log" 2>/dev/null
}

# test_config CONFIG: waits for its build, then runs its tests and reports.
test_config() {
  local c=$1 log="build/$1-test.log" t test_s rc launcher
  wait_built "$c"
  echo "=== $c: configured and built in $build_s s (waited $wait_s s for it)"
  if ((build_rc != 0)); then
    echo "--- $c: build failed"; tail -n 40 "build/$c-configure.log" "build/$c-build.log" 2>/dev/null
    broken+=("$c"); printf '%-8s %10s %10s %10s\n' "$c" "$build_s" "$wait_s" - >>"$times"
    return
  fi
  t=$EPOCHREALTIME
  launcher=$(launcher_of "$c")
  if [[ -x $launcher ]]; then
    # Waits for the prefix that the builder started making, if it is still
    # being made, and starts Wine's services if they have ended meanwhile.
    "$launcher" --prepare | sed 's/^/    /'
  fi
  echo "=== $c: test"
  run_tests "$c" "$log"
  rc=$?
  test_s=$(since "$t")
  grep -E 'tests passed|Total Test time' "$log"
  echo "    tested in $test_s s"
  printf '%-8s %10s %10s %10s\n' "$c" "$build_s" "$wait_s" "$test_s" >>"$times"
  count_results "$log"
  if ((rc != 0)); then
    if [[ -x $launcher ]] && no_test_ran "$log"; then
      echo "--- $c: no test ran; CTest printed:"
      tail -n 30 "$log"
      "$launcher" --diagnose "$root/build/$c/bin/forms_test.exe" --gtest_list_tests
    fi
    report_failures "$log"
    broken+=("$c")
  fi
}

summary() {
  local c
  echo
  cat "$times"
  for c in "${configs[@]}"; do fuzz_runs "$c"; done
  if ((${#broken[@]})); then
    echo "configurations that failed: ${broken[*]}"
  fi
  echo "all in $(since "$start") s"
  echo "$passed passed, $failed failed"
}

start_builder
for c in "${configs[@]}"; do
  test_config "$c"
done
wait "$builder" 2>/dev/null
summary
((${#broken[@]} == 0))

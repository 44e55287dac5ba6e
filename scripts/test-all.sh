#!/usr/bin/env bash
# Builds every configuration and runs every test: linux, win64 and win32
# (under Wine), the native suite under ThreadSanitizer and under
# AddressSanitizer with UndefinedBehaviorSanitizer, and the libFuzzer targets
# (clang) for a bounded time each. Installs what is missing
# first. Usage: scripts/test-all.sh [configuration ...]
#
# The tests mostly wait, so the next configuration builds, at a lower CPU
# priority, while the previous one's tests run; the Wine prefix is made
# while the first configurations build. Tests of two configurations never
# run at the same time, and the tests labelled "serial" (the stress program)
# run alone, after the others, with the build paused.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh || exit 1

export QEV_BUILD_ROOT="$root/build"
configs=("$@")
((${#configs[@]})) || configs=(linux win64 win32 tsan asan fuzz)

passed=0 failed=0 broken=()
# The sanitizers stop at the first report. TSan runs without address-space
# randomization (setarch -R): its shadow memory does not fit some layouts.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1 abort_on_error=1"
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
    tsan | asan) echo 3 ;;
    fuzz) echo 3 ;;
    linux) echo 6 ;;
    *) echo 4 ;;
  esac
}

# The builder: every configuration in turn, niced, each announcing itself
# done through build/<name>.built ("<exit code> <seconds>"). It runs in its
# own process group (set -m), so that it can be paused as a whole.
rm -f build/*.built
set -m
(
  for c in "${configs[@]}"; do
    t=$EPOCHREALTIME
    rc=0
    nice -n 15 cmake --preset "$c" >"build/$c-configure.log" 2>&1 &&
      nice -n 15 cmake --build "build/$c" >"build/$c-build.log" 2>&1 || rc=1
    echo "$rc $(since "$t")" >"build/$c.built.part" && mv "build/$c.built.part" "build/$c.built"
  done
) </dev/null &
builder=$!
set +m
pause_builder() { kill -0 "$builder" 2>/dev/null && kill -STOP -- "-$builder" 2>/dev/null; }
resume_builder() { kill -CONT -- "-$builder" 2>/dev/null; }

# The Wine prefix, made once in the background if a Windows configuration is
# asked for (build/wine-prefix.log has its output and time).
wine_pid= wine_used=0
for c in "${configs[@]}"; do
  if [[ $c == win* ]]; then
    . scripts/wine-env.sh
    wine_used=1
    ( t=$EPOCHREALTIME; qev_wine_prefix; echo "prefix ready in $(since "$t") s" ) >build/wine-prefix.log 2>&1 &
    wine_pid=$!
    break
  fi
done
wine_ready() {
  if [[ -n $wine_pid ]]; then
    wait "$wine_pid"
    wine_pid=
    echo "    Wine: $(tail -n 1 build/wine-prefix.log)"
  fi
}
trap 'resume_builder; kill -- "-$builder" 2>/dev/null; [[ -n $wine_pid ]] && kill "$wine_pid" 2>/dev/null' EXIT

# run_tests CONFIG LOG: runs the configuration's tests into LOG: in parallel
# all but the serial ones, then those one at a time while the build pauses.
run_tests() {
  local runner=() rc
  [[ $1 == tsan ]] && runner=(setarch "$(uname -m)" -R)
  "${runner[@]}" ctest --test-dir "build/$1" -j"$(jobs_for "$1")" -LE serial --output-on-failure --no-tests=error >"$2" 2>&1
  rc=$?
  # These print everything (their figures), so a failure shows its tail here.
  if ctest --test-dir "build/$1" -N -L serial | grep 'Test *#' >/dev/null; then
    pause_builder
    if ! "${runner[@]}" ctest --test-dir "build/$1" -L serial -V >"$2.serial" 2>&1; then
      rc=1
      echo "--- $1: the serial tests failed; their output ends:"; tail -n 60 "$2.serial"
    fi
    resume_builder
    { echo "=== serial tests"; cat "$2.serial"; } >>"$2" && rm -f "$2.serial"
  fi
  return $rc
}

# Whether LOG shows that a Windows configuration failed before its tests ran:
# a test program's listing of its tests (GoogleTest discovery, run under Wine
# when CTest starts) failed, or CTest's parallel pass started no test.
no_test_ran() {
  grep -q 'Error running test executable' "$1" ||
    ! sed '/^=== serial tests/q' "$1" | grep -E '^ *Start +[0-9]+:' >/dev/null
}

for c in "${configs[@]}"; do
  t=$EPOCHREALTIME
  until [[ -f build/$c.built ]]; do sleep 1; done
  read -r brc bsec <"build/$c.built"
  wait_s=$(since "$t")
  echo "=== $c: configured and built in $bsec s (waited $wait_s s for it)"
  if ((brc != 0)); then
    echo "--- $c: build failed"; tail -n 40 "build/$c-configure.log" "build/$c-build.log" 2>/dev/null
    broken+=("$c"); printf '%-8s %10s %10s %10s\n' "$c" "$bsec" "$wait_s" - >>"$times"
    continue
  fi
  log="build/$c-test.log"
  t=$EPOCHREALTIME
  if [[ $c == win* ]]; then
    wine_ready
    # A program of the build, by its Unix path, as CTest's discovery runs it.
    if ! qev_wine_probe "$root/build/$c/bin/forms_test.exe" --gtest_list_tests; then
      echo "--- $c: making a fresh Wine prefix and trying again"
      qev_wine_prefix
      qev_wine_probe "$root/build/$c/bin/forms_test.exe" --gtest_list_tests
    fi
  fi
  echo "=== $c: test"
  run_tests "$c" "$log"
  rc=$?
  if ((rc != 0)) && [[ $c == win* ]] && no_test_ran "$log"; then
    echo "--- $c: no test ran; CTest printed:"
    tail -n 30 "$log"
    qev_wine_diagnose "$root/build/$c/bin/forms_test.exe" --gtest_list_tests
    echo "--- $c: retrying once with a fresh Wine prefix (first log kept as $log.first)"
    mv "$log" "$log.first"
    qev_wine_prefix
    qev_wine_probe "$root/build/$c/bin/forms_test.exe" --gtest_list_tests
    run_tests "$c" "$log"
    rc=$?
  fi
  test_s=$(since "$t")
  grep -E 'tests passed|Total Test time' "$log"
  echo "    tested in $test_s s"
  printf '%-8s %10s %10s %10s\n' "$c" "$bsec" "$wait_s" "$test_s" >>"$times"
  while read -r p; do
    f=${p%% *}; n=${p##* }
    passed=$((passed + n - f)); failed=$((failed + f))
  done < <(grep -oE '[0-9]+ tests failed out of [0-9]+' "$log")
  if ((rc != 0)); then
    grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|Not Run|Exception|SEGFAULT|Subprocess aborted)\)' "$log" | head -20
    # What each failed test printed last (CTest puts it after the test's line).
    awk '/Test +#[0-9]+: .*\*\*\*|Test +#[0-9]+: .*(Timeout|Not Run|Exception)/ { n = 60; print "--- " $0; next }
         /^ +Start +[0-9]+:|Test +#[0-9]+:/ { n = 0 }
         n > 0 { print; n-- }' "$log" | head -n 200
    broken+=("$c")
  fi
done
wait "$builder" 2>/dev/null
((wine_used)) && { wine_ready; qev_wine_stop; }

echo
cat "$times"
if ((${#broken[@]})); then
  echo "configurations that failed: ${broken[*]}"
fi
echo "all in $(since "$start") s"
echo "$passed passed, $failed failed"
((${#broken[@]} == 0))

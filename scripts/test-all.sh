#!/usr/bin/env bash
# Builds every configuration and runs every test: linux, win64 and win32
# (under Wine), the native suite under ThreadSanitizer and under
# AddressSanitizer with UndefinedBehaviorSanitizer, and the libFuzzer targets
# (clang) for a bounded time each. Installs what is missing
# first. Usage: scripts/test-all.sh [configuration ...]
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh || exit 1

export QEV_BUILD_ROOT="$root/build"
configs=("$@")
((${#configs[@]})) || configs=(linux win64 win32 tsan asan fuzz)

passed=0 failed=0 broken=()
wine_ready=0
# Seconds since `$1` (an $EPOCHREALTIME), with one decimal.
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
start=$EPOCHREALTIME
# The sanitizers stop at the first report. TSan runs without address-space
# randomization (setarch -R): its shadow memory does not fit some layouts.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1 abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1"

for c in "${configs[@]}"; do
  echo "=== $c: configure and build"
  mkdir -p build
  t=$EPOCHREALTIME
  if ! cmake --preset "$c" >"build/$c-configure.log" 2>&1 || ! cmake --build "build/$c" >"build/$c-build.log" 2>&1; then
    echo "--- $c: build failed"; tail -n 40 "build/$c-configure.log" "build/$c-build.log" 2>/dev/null
    broken+=("$c"); continue
  fi
  echo "    configured and built in $(since "$t") s"
  if [[ $c == win* && $wine_ready == 0 ]]; then
    echo "=== preparing a fresh Wine prefix"
    t=$EPOCHREALTIME
    . scripts/wine-env.sh
    qev_wine_prefix
    wine_ready=1
    echo "    prefix ready in $(since "$t") s"
  fi
  echo "=== $c: test"
  runner=()
  [[ $c == tsan ]] && runner=(setarch "$(uname -m)" -R)
  log="build/$c-test.log"
  t=$EPOCHREALTIME
  "${runner[@]}" ctest --test-dir "build/$c" -j2 --output-on-failure --no-tests=error >"$log" 2>&1
  rc=$?
  grep -E 'tests passed|Total Test time' "$log" | tail -n 2
  echo "    tested in $(since "$t") s"
  p=$(grep -oE '[0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [[ -n $p ]]; then
    f=${p%% *}; n=${p##* }
    passed=$((passed + n - f)); failed=$((failed + f))
  fi
  if ((rc != 0)); then
    grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|Not Run|Exception|SEGFAULT|Subprocess aborted)\)' "$log" | head -20
    # What each failed test printed last (CTest puts it after the test's line).
    awk '/Test +#[0-9]+: .*\*\*\*|Test +#[0-9]+: .*(Timeout|Not Run|Exception)/ { n = 60; print "--- " $0; next }
         /^ +Start +[0-9]+:|Test +#[0-9]+:/ { n = 0 }
         n > 0 { print; n-- }' "$log" | head -n 200
    broken+=("$c")
  fi
done
[[ $wine_ready == 1 ]] && qev_wine_stop

echo
if ((${#broken[@]})); then
  echo "configurations that failed: ${broken[*]}"
fi
echo "all in $(since "$start") s"
echo "$passed passed, $failed failed"
((${#broken[@]} == 0))

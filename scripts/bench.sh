#!/usr/bin/env bash
# Builds and runs the benchmark (bench/) natively and, for the Windows builds,
# under Wine; installs the bench-only packages (peer timer libraries and
# cyclictest) first. Results: one folder per target with results.md and the
# lateness plots.
#
#   scripts/bench.sh [linux] [win64] [win32] [-- bench options]
#
# With no target names it runs all three. Options after `--` go to the
# program (see `qev-bench --help`), e.g. `-- --repeats 3 --no-scale`.
# QEV_BENCH_OUT (default build/bench-results) and QEV_BENCH_BUILD (default
# build/bench) choose the folders.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

targets=()
while (($#)) && [[ $1 != -- ]]; do targets+=("$1"); shift; done
(($#)) && shift
((${#targets[@]})) || targets=(linux win64 win32)
out=${QEV_BENCH_OUT:-$root/build/bench-results}
build=${QEV_BENCH_BUILD:-$root/build/bench}

# The build's packages, and the peer timer libraries and cyclictest.
bash scripts/setup.sh pkg-config libboost-dev libuv1-dev qt6-base-dev rt-tests

wine_ready=0
for t in "${targets[@]}"; do
  dir=$build-$t
  echo "bench: building $t in $dir"
  cmake --preset "$t" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
    -DQEV_BUILD_TESTS=OFF -DQEV_BUILD_TOOLS=OFF -DQEV_BUILD_BENCH=ON -DQEV_BENCH_PEERS=ON >"$dir.configure.log"
  cmake --build "$dir" --target qev-bench >"$dir.build.log"
  mkdir -p "$out/$t"
  echo "bench: running $t (results in $out/$t)"
  if [[ $t == linux ]]; then
    "$dir/bin/qev-bench" --out "$out/$t" "$@"
  else
    if ((!wine_ready)); then
      export QEV_BUILD_ROOT=$build-wine
      mkdir -p "$QEV_BUILD_ROOT"
      . scripts/wine-env.sh
      qev_wine_prefix
      wine_ready=1
    fi
    (cd "$dir/bin" && wine ./qev-bench.exe --out "Z:$out/$t" "$@")
  fi
done
((wine_ready)) && qev_wine_stop
echo "bench: done; tables in $out/*/results.md"

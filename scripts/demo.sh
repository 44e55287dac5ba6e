#!/usr/bin/env bash
# Builds and runs the demo. Installs what is missing first.
# Usage: scripts/demo.sh [--target linux|win64|win32] [demo options]
set -euo pipefail
cd "$(dirname "$0")/.."
target=linux
if [[ ${1:-} == --target ]]; then target=$2; shift 2; fi
bash scripts/setup.sh
cmake --preset "$target" >/dev/null
cmake --build "build/$target" --target qev_demo >/dev/null
if [[ -x build/$target/wine-run ]]; then
  # Under Wine, through the launcher of the build's cross toolchain.
  exec "build/$target/wine-run" "build/$target/bin/demo.exe" "$@"
fi
exec "build/$target/bin/demo" "$@"

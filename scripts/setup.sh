#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those missing, and any
# further packages named as arguments (scripts/bench.sh names its peers).
# Idempotent.
set -euo pipefail

pkgs=(cmake ninja-build g++ libgtest-dev clang libclang-rt-14-dev
      g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
      wine wine64 wine32:i386 python3-pefile pkg-config lintian spin "$@")

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails one index; what the others give may do.
  apt-get update -qq || echo "setup: apt-get update failed (above); installing from the lists it has"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

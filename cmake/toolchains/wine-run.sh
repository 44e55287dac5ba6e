#!/usr/bin/env bash
# The cross builds' emulator: runs one Windows program under Wine.
#
# Now and then Wine fails to start a program at all: its loader cannot open
# the image, hands the path to start.exe, and that prints "Application could
# not be started, or no application associated with the specified file." and
# "ShellExecuteEx failed: ..." and exits with 1 before any of the program's
# code has run (seen about once in 200 starts of a parallel test run). Such
# a start is tried again, three tries in all, and said on stderr; everything
# else, the program's output and exit code included, passes through as is.
set -u
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT
for try in 1 2 3; do
  wine "$@" | tee "$out"
  rc=${PIPESTATUS[0]}
  if ((rc != 1)) || ! grep -q '^ShellExecuteEx failed' "$out" ||
     ! grep -q '^Application could not be started' "$out"; then
    exit "$rc"
  fi
  echo "wine-run: Wine did not start $1 (try $try of 3)" >&2
done
exit "$rc"

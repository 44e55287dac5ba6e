# Sourced by the scripts that run Windows binaries: a quiet Wine whose prefix
# lives in the build folder. `qev_wine_prefix` makes it fresh and starts Wine's
# services outside the callers' output pipes; `qev_wine_probe` checks that the
# prefix runs a program of the build before tests rely on it.
#
# The prefix is set up as for unattended use: no Mono or Gecko installers
# (mscoree, mshtml), no menu entries, desktop files or file associations
# written into the home folder (winemenubuilder), no display, no debug output.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEPREFIX="${QEV_BUILD_ROOT:?}/wine-prefix"
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY

# A fresh prefix. `wineboot -i` returns once the prefix's first boot has
# run; `wineserver -w` then waits until every process of it has ended and
# the server has written the registry to disk. The persistent server started
# afterwards, Wine's services that the first program starts, and the desktop
# process (explorer /desktop) stay up for the tests, so that none of them
# starts inside a test's output pipe: CTest waits for every process holding
# that pipe, and the desktop process, started by the first test that loads
# user32, lived as long as any other such test ran (38 s for a test of 1 s).
qev_wine_prefix() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 </dev/null
  wineserver -w
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit >/dev/null 2>&1 </dev/null
  wine explorer.exe /desktop >/dev/null 2>&1 </dev/null &
}

# qev_wine_probe PROGRAM [ARG ...]: runs a Windows program by its Unix path,
# as CTest does, until it exits with 0, for at most QEV_WINE_PROBE_SECONDS
# (default 60). On failure it prints what Wine printed on the last try and
# Wine's own diagnostics (qev_wine_diagnose). Returns whether the program ran.
qev_wine_probe() {
  local deadline=$((SECONDS + ${QEV_WINE_PROBE_SECONDS:-60})) out rc tries=0
  out=$(mktemp)
  while :; do
    tries=$((tries + 1))
    timeout 60 wine "$@" >"$out" 2>&1 </dev/null
    rc=$?
    if ((rc == 0)); then
      rm -f "$out"
      ((tries > 1)) && echo "    Wine ran $(basename "$1") on try $tries"
      return 0
    fi
    ((SECONDS >= deadline)) && break
    sleep 2
  done
  echo "--- Wine could not run $1 ($tries tries, last exit code $rc); it printed:"
  tail -n 20 "$out"
  rm -f "$out"
  qev_wine_diagnose "$@"
  return 1
}

# qev_wine_diagnose PROGRAM [ARG ...]: runs the program once with Wine's
# error, warning, process and loader channels on, and prints the beginning
# (how Wine tried to start it) and the end of what Wine reports, without its
# "fixme" lines and the process-information queries that repeat for each
# file Wine looks at.
qev_wine_diagnose() {
  local out
  out=$(mktemp)
  echo "--- $(basename "$1") under WINEDEBUG=err+all,warn+all,+process,+loaddll:"
  WINEDEBUG="err+all,warn+all,+process,+loaddll" timeout 60 wine "$@" >"$out" 2>&1 </dev/null
  echo "    exit code $?"
  grep -v -e ':fixme:' -e ':NtQueryInformationProcess ' "$out" >"$out.kept"
  if (($(wc -l <"$out.kept") > 70)); then
    head -n 30 "$out.kept"; echo "    [...]"; tail -n 40 "$out.kept"
  else
    cat "$out.kept"
  fi
  rm -f "$out" "$out.kept"
}

qev_wine_stop() { wineserver -k >/dev/null 2>&1 || true; }

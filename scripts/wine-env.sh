# Sourced by the scripts that run Windows binaries: a quiet Wine whose prefix
# lives in the build folder. `qev_wine_prefix` makes it fresh and starts Wine's
# services outside the callers' output pipes.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="${QEV_BUILD_ROOT:?}/wine-prefix"
unset DISPLAY

qev_wine_prefix() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit >/dev/null 2>&1 </dev/null
}

qev_wine_stop() { wineserver -k >/dev/null 2>&1 || true; }

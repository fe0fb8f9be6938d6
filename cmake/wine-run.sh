#!/bin/sh
# Runs a Windows program under Wine for CTest and try_run: wine-run.sh PREFIX-DIR PROGRAM ARGS...
#
# The prefix is the build's own and throw-away (made on first use), Wine's own debug output is
# off and no window system is used, so a run prints only what the program prints and behaves
# the same every time. The program's exit code is passed through.
set -eu

prefix=$1
shift

loader=${MAILHOOK_WINE:-}
if [ -z "$loader" ]; then
  for c in /usr/lib/wine/wine64 wine64 wine; do
    if command -v "$c" >/dev/null 2>&1; then loader=$c; break; fi
  done
fi
[ -n "$loader" ] || { echo "wine-run.sh: no Wine loader found (install wine64)" >&2; exit 127; }
server=$(dirname "$(command -v "$loader")")/wineserver
[ -x "$server" ] || server=wineserver

WINEPREFIX=$prefix
WINEDEBUG=-all
# No Mono or Gecko installer prompts, no desktop integration.
WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
WINEARCH=win64
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES WINEARCH
unset DISPLAY WAYLAND_DISPLAY

# The first run makes the prefix; parallel tests wait for it instead of racing to make it.
if [ ! -f "$prefix/.mailhook-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.mailhook-ready" ]; then
      "$loader" wineboot -i >/dev/null 2>&1 || true
      # The registry reaches the disk when the prefix's server ends.
      "$server" -w >/dev/null 2>&1 || true
      [ -f "$prefix/system.reg" ] || { echo "wine-run.sh: could not make $prefix" >&2; exit 1; }
      : >"$prefix/.mailhook-ready"
    fi
  ) 9>"$prefix.lock"
fi

exec "$loader" "$@"

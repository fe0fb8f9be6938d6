#!/usr/bin/env bash
# Installs what is missing, builds the mailhook command and runs its demo: a scanning service
# as a child process and a hook carrying the built-in messages through it.
#
#   bash tools/demo.sh [demo options]             native build
#   bash tools/demo.sh --windows [demo options]   mailhook.exe cross-built with MinGW-w64, run
#                                                 under Wine (in the build's own Wine prefix)
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
if [ "${1:-}" = "--windows" ]; then
  shift
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target mailhook_cli >/dev/null
  exec sh cmake/wine-run.sh "$PWD/build/windows/wineprefix" build/windows/bin/mailhook.exe demo "$@"
fi
cmake --preset ci >/dev/null
cmake --build --preset ci --target mailhook_cli >/dev/null
exec build/ci/bin/mailhook demo "$@"

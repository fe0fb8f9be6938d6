#!/usr/bin/env bash
# Installs what is missing, builds the mailhook command and runs its demo: a scanning service
# as a child process and a hook carrying the built-in messages through it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset ci >/dev/null
cmake --build --preset ci --target mailhook_cli >/dev/null
exec build/ci/bin/mailhook demo "$@"

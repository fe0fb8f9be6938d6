#!/usr/bin/env bash
# Builds and runs every test leg: native (warnings as errors), then AddressSanitizer +
# UndefinedBehaviorSanitizer. Needs the packages .ci/run installs.
set -euo pipefail
cd "$(dirname "$0")/.."

for leg in ci asan; do
  echo "=== leg: $leg"
  cmake --workflow --preset "$leg"
done

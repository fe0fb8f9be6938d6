#!/usr/bin/env bash
# Builds and runs every test leg: native (warnings as errors), then AddressSanitizer +
# UndefinedBehaviorSanitizer, then the Windows x64 build with all its tests under Wine,
# ThreadSanitizer, and a short run of every fuzz target. Needs the packages .ci/run installs.
set -euo pipefail
cd "$(dirname "$0")/.."

for leg in ci asan tsan windows fuzz; do
  echo "=== leg: $leg"
  start=$SECONDS
  cmake --workflow --preset "$leg"
  echo "=== leg: $leg passed in $((SECONDS - start)) s"
done

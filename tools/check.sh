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
  # The examples, built against the installed library in a temporary prefix, and run; then the
  # Debian packages, installed into a throw-away root, the examples built against it and the
  # demo run from it.
  if [ "$leg" = ci ]; then
    bash tools/check_examples.sh build/ci
    bash tools/check_package.sh build/ci
  fi
  echo "=== leg: $leg passed in $((SECONDS - start)) s"
done

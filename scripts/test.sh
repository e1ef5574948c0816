#!/usr/bin/env bash
# Builds the project twice (normal, and with AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs every test suite in both builds. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
status=0
for preset in default asan; do
  echo "== build: $preset"
  cmake --preset "$preset" -DVM_BUILD_TESTS=ON > /dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== tests: $preset"
  ctest --preset "$preset" -j "$jobs" || status=1
done
exit $status

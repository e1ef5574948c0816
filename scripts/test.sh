#!/usr/bin/env bash
# Builds the project twice (Release at -O3, and with AddressSanitizer + UndefinedBehaviorSanitizer),
# warnings as errors, and runs every test suite in both builds, then builds and runs the fuzz
# targets (scripts/fuzz.sh). Exits non-zero on any failure.
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
# The Python package's and the Tango server's tests, against the normal build.
echo "== tests: python"
PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python tests/tango || status=1
# The Tango server in a Tango installation: MariaDB, DataBaseds and three hosts (namespaces).
echo "== tests: tango facility"
bash scripts/tango-facility-test.sh || status=1
# The Debian packages, the manual pages and the commands of docs/usage.md, from the normal build.
echo "== tests: packages"
bash scripts/package-test.sh || status=1
# The fuzz targets: a clang build under both sanitizers, each target run for 20 s.
bash scripts/fuzz.sh || status=1
exit $status

#!/usr/bin/env bash
# Sets up what is missing, builds the host build (with the real driver image cross-built beside
# it) and runs every test; then runs the suite again under the address+undefined and the thread
# sanitizers, and every fuzz target for 30 s (scripts/fuzz.sh). The host run includes the real
# image under Wine (test_wine, about 3 minutes on two cores). Set KWOTARV_SANITIZERS=0 to skip
# the sanitizer runs, KWOTARV_FUZZ=0 to skip the fuzzing, KWOTARV_WINE=0 to skip Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh test
jobs=$(nproc)
export KWOTARV_WINE=${KWOTARV_WINE:-1}

run_preset() {
  local preset=$1
  shift
  echo "=== $preset: configure, build, test"
  cmake --preset "$preset" -DKWOTARV_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

run_preset host -DKWOTARV_CROSS_BUILD=ON
if [ "${KWOTARV_SANITIZERS:-1}" != 0 ]; then
  run_preset host-asan
  run_preset host-tsan
fi
if [ "${KWOTARV_FUZZ:-1}" != 0 ]; then
  bash scripts/fuzz.sh
fi
echo "=== all tests passed"

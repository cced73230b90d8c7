#!/usr/bin/env bash
# Sets up what is missing, builds, and reads the sensors of the built-in demo board through the
# driver running on the simulated machine. Extra arguments go to kwotarv (e.g. "info", "--json").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
cmake --preset host -DKWOTARV_BUILD_TESTS=OFF >/dev/null
cmake --build --preset host --target kwotarv
exec ./build/host/Tools/kwotarv/kwotarv "$@"

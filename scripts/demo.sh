#!/usr/bin/env bash
# Sets up what is missing, builds the kwotarv tool, and reads the sensors of the built-in demo
# board through the driver running on the simulated machine. Extra arguments go to kwotarv
# ("info", "--json", "--board Boards/w83627hf"); relative paths are the caller's. Set-up and build
# output go to standard error: standard output is only what kwotarv prints.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/scripts/setup.sh" demo
(
  cd "$root"
  cmake --preset host -DKWOTARV_BUILD_TESTS=OFF -DKWOTARV_CROSS_BUILD=OFF >/dev/null
  cmake --build --preset host --target kwotarv
) 1>&2
exec "$root/build/host/Tools/kwotarv/kwotarv" "$@"

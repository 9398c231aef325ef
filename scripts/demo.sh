#!/bin/sh
# The main job: sets up a fresh Debian 12 machine, builds the library and
# runs the point service and raises, queries and clears a point with marl.
# Usage (as root): bash scripts/demo.sh [POINT]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
sh "$root/scripts/install-deps.sh" > /tmp/marl-install-deps.log 2>&1 ||
    { cat /tmp/marl-install-deps.log >&2; exit 1; }
build=${MARL_BUILD_DIR:-$root/build/demo}
cmake -S "$root" -B "$build" -G Ninja -DMARL_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" > /dev/null
exec sh "$root/tools/demo/run-demo.sh" "$build" "$@"

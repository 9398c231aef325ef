#!/bin/sh
# The main job: sets up a fresh Debian 12 machine with what the demo needs,
# builds the library, marld and marl, then runs the point service and raises,
# queries and clears a point with marl. One line tells each step.
# Usage (as root): bash scripts/demo.sh [POINT]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${MARL_BUILD_DIR:-$root/build/demo}
mkdir -p "$build"
log=$build/demo-step.log
step() { echo "demo: $*"; }

sh "$root/scripts/install-deps.sh" demo
# quiet RUN...: its output goes to the log, and is shown only if it fails.
quiet() { "$@" > "$log" 2>&1 || { cat "$log" >&2; echo "demo: failed: $*" >&2; exit 1; }; }
step "configuring ${build#"$PWD"/}"
quiet cmake -S "$root" -B "$build" -G Ninja -DMARL_BUILD_TESTS=OFF
step "building the library, marld and marl"
quiet cmake --build "$build"
step "running marld and marl"
exec sh "$root/tools/demo/run-demo.sh" "$build" "$@"

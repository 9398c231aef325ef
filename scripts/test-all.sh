#!/bin/sh
# The whole test suite: sets up a fresh Debian 12 machine, then builds and
# runs the suite three times: on the build host, with AddressSanitizer and
# UndefinedBehaviorSanitizer, and cross-built for 32-bit big-endian PowerPC
# under qemu. The host and sanitizer suites include the load test against
# marld (label load; 8 threads x 100,000 points, about 15 s on the host, a
# fifth of that count instrumented). Exits non-zero if any build or test
# fails.
# Usage (as root): bash scripts/test-all.sh [SUITE...]   (default: all)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
sh "$root/scripts/install-deps.sh" > /tmp/marl-install-deps.log 2>&1 ||
    { cat /tmp/marl-install-deps.log >&2; exit 1; }
build_root=${MARL_BUILD_ROOT:-$root/build}
jobs=$(nproc)

suite_flags() {
    case $1 in
        host) echo "" ;;
        asan) echo "-DMARL_SANITIZE=address,undefined" ;;
        ppc) echo "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchains/powerpc-linux-gnu.cmake" ;;
        *) echo "unknown suite $1" >&2; return 1 ;;
    esac
}

failed=""
for suite in ${*:-host asan ppc}; do
    echo "=== suite: $suite"
    flags=$(suite_flags "$suite") || { failed="$failed $suite"; continue; }
    dir=$build_root/$suite
    # shellcheck disable=SC2086 # flags is a word list on purpose
    cmake -S "$root" -B "$dir" -G Ninja $flags || { failed="$failed $suite"; continue; }
    cmake --build "$dir" -j "$jobs" || { failed="$failed $suite"; continue; }
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" || failed="$failed $suite"
done

if [ -n "$failed" ]; then
    echo "=== FAILED suites:$failed"
    exit 1
fi
echo "=== all suites passed"

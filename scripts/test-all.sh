#!/bin/sh
# The whole test suite: sets up a fresh Debian 12 machine, then builds and
# runs the suite in turn: on the build host; with AddressSanitizer and
# UndefinedBehaviorSanitizer; with ThreadSanitizer; the host build's unit
# tests under valgrind's memcheck; cross-built for 32-bit big-endian PowerPC
# under qemu; the fuzz targets under libFuzzer (clang), each for
# MARL_FUZZ_SECONDS (30); and the README's unattended command blocks on a copy
# of the checkout (tests/readme_test.sh). The host and sanitizer suites include the load test
# against marld (label load; 8 threads x 100,000 points, a fifth of that
# count instrumented). Exits non-zero if any build or test fails.
# Usage (as root): bash scripts/test-all.sh [SUITE...]   (default: all)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
sh "$root/scripts/install-deps.sh" test || exit 1
build_root=${MARL_BUILD_ROOT:-$root/build}
jobs=$(nproc)

suite_flags() {
    case $1 in
        host | valgrind) echo "-DCMAKE_INSTALL_PREFIX=/usr" ;;
        asan) echo "-DMARL_SANITIZE=address,undefined" ;;
        tsan) echo "-DMARL_SANITIZE=thread" ;;
        ppc) echo "-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchains/powerpc-linux-gnu.cmake" ;;
        readme) ;;
        fuzz) echo "-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DMARL_FUZZ=ON -DMARL_FUZZ_SECONDS=${MARL_FUZZ_SECONDS:-30}" ;;
        *) echo "unknown suite $1" >&2; return 1 ;;
    esac
}

run_tests() {
    suite=$1
    dir=$2
    case $suite in
        valgrind)
            # The unit tests of the host build under memcheck; the ABI check
            # runs cmake, not the project's code.
            # Memcheck replaces only libc's allocator (nouserintercepts names
            # no library): the interposed tests' own malloc and operator new
            # must still run, to count and fail allocations, and they end in
            # libc's, which memcheck watches.
            {
                echo "MemoryCheckCommand: $(command -v valgrind)"
                echo "MemoryCheckCommandOptions: --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=1" \
                    "--soname-synonyms=somalloc=nouserintercepts"
                echo "MemoryCheckSuppressionFile: $root/tests/valgrind.supp"
            } > "$dir/DartConfiguration.tcl"
            ctest --test-dir "$dir" -T memcheck -L unit -E '^library_abi_test$' --output-on-failure -j "$jobs"
            ;;
        fuzz)
            status=0
            ctest --test-dir "$dir" --output-on-failure -j "$jobs" || status=1
            # libFuzzer's closing figures for each target.
            awk '/^[0-9]+\/[0-9]+ Test: fuzz_.*_run$/ { name = $3 }
                 /^stat::(number_of_executed_units|average_exec_per_sec):/ && name != "" { print name ": " $1 " " $2 }' \
                "$dir/Testing/Temporary/LastTest.log"
            return $status
            ;;
        *)
            ctest --test-dir "$dir" --output-on-failure -j "$jobs"
            ;;
    esac
}

failed=""
timings=""
for suite in ${*:-host asan tsan valgrind ppc fuzz readme}; do
    echo "=== suite: $suite"
    started=$(date +%s)
    flags=$(suite_flags "$suite") || { failed="$failed $suite"; continue; }
    # valgrind runs the host build's tests.
    dir=$build_root/$([ "$suite" = valgrind ] && echo host || echo "$suite")
    # shellcheck disable=SC2086 # flags is a word list on purpose
    if [ "$suite" = readme ]; then
        sh "$root/tests/readme_test.sh" "$root" "$dir" || failed="$failed $suite"
    elif cmake -S "$root" -B "$dir" -G Ninja -DMARL_WERROR=ON $flags && cmake --build "$dir" -j "$jobs"; then
        run_tests "$suite" "$dir" || failed="$failed $suite"
    else
        failed="$failed $suite"
    fi
    timings="$timings $suite:$(($(date +%s) - started))s"
done

echo "=== suite times:$timings"
if [ -n "$failed" ]; then
    echo "=== FAILED suites:$failed"
    exit 1
fi
echo "=== all suites passed"

#!/bin/sh
# Runs marl-bench, which measures the library, its codec and marld, each
# against a baseline measured in the same run, and prints:
#   - the machine and how loaded it was;
#   - the table of ratios (value / baseline, the median of the per-round
#     ratios, with their quartiles; for ns/call lower is better, for
#     updates/s higher is better);
#   - user-space instructions per call, counted by callgrind (stable where
#     wall time is not, but blind to the kernel's work): needs valgrind;
#   - the library's size, stripped, and its NEEDED list.
# marl-bench runs in private namespaces where the services database names
# the "marl" port (scripts/with-services.sh; needs root). Google Benchmark's
# own report goes to BUILD_DIR/bench/marl-bench.log.
# Usage: bench/run-benchmarks.sh BUILD_DIR [marl-bench option...]
#   e.g. --benchmark_filter=update; MARL_BENCH_SCALE=0.2 for a quicker run.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [marl-bench option...]" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift
root=$(cd "$(dirname "$0")/.." && pwd)
bench=$build/bench/marl-bench
library=$build/marl/module/marlengine/libmarlclient.so.1
[ -x "$bench" ] || { echo "run-benchmarks: $bench is missing; build $build first" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

load() { cut -d' ' -f1-3 /proc/loadavg; }
echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), $(uname -r)"
echo "load average before: $(load)"
log=$build/bench/marl-bench.log
"$root/scripts/with-services.sh" 41730 "$bench" --table_out="$work/table" "$@" > "$log" 2>&1 ||
    { cat "$log" >&2; echo "run-benchmarks: marl-bench failed" >&2; exit 1; }
echo "load average after:  $(load)"
echo
cat "$work/table"
if grep -q 'ERROR OCCURRED' "$log"; then
    echo
    grep 'ERROR OCCURRED' "$log"
fi

# Instructions per call: the inclusive count of each function divided by the
# calls its callers made, from callgrind's caller tree.
if command -v valgrind > /dev/null 2>&1; then
    echo
    echo "user-space instructions per call (callgrind; the kernel's work is not counted):"
    MARL_BENCH_SCALE=0.02 "$root/scripts/with-services.sh" 41731 valgrind --tool=callgrind \
        --callgrind-out-file="$work/callgrind.out" "$bench" \
        '--benchmark_filter=update_marl_point/vs_sendto|update_marl_point_ext/vs_update_info_masked|read_marl_point/vs_bare_round_trip/|codec' \
        --table_out=/dev/null > "$work/callgrind.log" 2>&1 ||
        { cat "$work/callgrind.log" >&2; exit 1; }
    # From a directory without sources: run inside the checkout, the
    # annotator printed paths relative to it and left out caller lines.
    (cd "$work" && callgrind_annotate --inclusive=yes --tree=caller --threshold=100 callgrind.out > tree 2> /dev/null)
    for function in update_marl_point update_marl_point_ext read_marl_point oamMarlEncodeDynamicInfo \
        oamMarlDecodeDynamicInfo sendto recvfrom select; do
        awk -v name="$function" '
            function number(text) { gsub(/,/, "", text); return text + 0 }
            /^ *[0-9,]+ \([ 0-9.]+%\)  < / {
                if (match($0, /\([0-9,]+x\)/)) calls += number(substr($0, RSTART + 1, RLENGTH - 3))
                next
            }
            /^ *[0-9,]+ \([ 0-9.]+%\)  \* / && index($0, ":" name " [") {
                if (calls > 0) printf "  %-26s %6.0f  (%d calls)\n", name, number($1) / calls, calls
                found = 1
                exit
            }
            { calls = 0 }
            END { if (!found) printf "  %-26s %6s\n", name, "-" }' "$work/tree"
    done
fi

echo
strip -o "$work/stripped.so" "$library"
echo "libmarlclient.so.1: $(stat -c %s "$work/stripped.so") bytes stripped ($(stat -L -c %s "$library") as built)"
echo "NEEDED: $(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"

#!/bin/sh
# The files that `cmake --install` puts down are enough to build and run a
# client: examples/raise_query_clear.c is built out of the tree against a
# staged install of this build, once through the CMake package and once
# through pkg-config on a plain compiler command line, and both programs are
# run against the staged marld in namespaces whose services database names
# the point service, so that they find it by the real look-up.
# Usage: example_consumer_test.sh SOURCE_DIR BUILD_DIR PREFIX LIBDIR SBINDIR CC
#   PREFIX: the build's install prefix; LIBDIR, SBINDIR: its folders in full.
# Exits 77 (skipped) when it may not create namespaces.
set -eu
source_dir=$1 build_dir=$2 prefix=$3 libdir=$4 sbindir=$5 cc=$6
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
strict="-std=c99 -Wall -Wextra -Wpedantic -Werror"

quiet() { "$@" > "$work/log" 2>&1 || { cat "$work/log" >&2; echo "FAIL: $*" >&2; exit 1; }; }

quiet env DESTDIR="$stage" cmake --install "$build_dir"

quiet cmake -S "$source_dir/examples" -B "$work/with-cmake" -G Ninja -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_C_FLAGS="$strict" -DCMAKE_PREFIX_PATH="$stage$prefix"
quiet cmake --build "$work/with-cmake"

# Only the stage's pkg-config files; its paths get the stage put in front.
# libmarlclient.so.1 needs libcmnHal.so.1, which the linker looks for in
# the installed folder, not the staged one, unless told (marlclient.pc).
export PKG_CONFIG_LIBDIR="$stage$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$stage"
# shellcheck disable=SC2046,SC2086 # pkg-config's output is a word list
quiet "$cc" $strict $(pkg-config --cflags marlclient) "$source_dir/examples/raise_query_clear.c" \
    -o "$work/with-pkg-config" $(pkg-config --libs marlclient) \
    -Wl,-rpath-link,"$(pkg-config --variable=libdir marlclient)"

status=0
for program in "$work/with-cmake/raise_query_clear" "$work/with-pkg-config"; do
    name=example/${program##*/}
    # marld runs in the background, its first line says it is ready; the
    # example runs against it, then marld is stopped.
    set +e
    LD_LIBRARY_PATH="$stage$libdir" "$source_dir/scripts/with-services.sh" 41719 sh -c '
        "$1" > "$2/marld.out" 2>&1 &
        marld=$!
        for _ in $(seq 100); do [ -s "$2/marld.out" ] && break; sleep 0.1; done
        "$3" "$4"
        status=$?
        kill -TERM $marld
        wait $marld
        exit $status' sh "$stage$sbindir/marld" "$work" "$program" "$name" > "$work/out" 2> "$work/err"
    result=$?
    set -e
    [ $result -eq 77 ] && exit 77
    expected="raise $name
query $name: set
clear $name
query $name: clear"
    if [ $result -ne 0 ] || [ "$(cat "$work/out")" != "$expected" ]; then
        echo "FAIL: $program exited $result with:" >&2
        cat "$work/out" "$work/err" "$work/marld.out" >&2
        status=1
    fi
done
exit $status

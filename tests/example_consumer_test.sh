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
unshare --mount --net true 2>/dev/null || { echo "cannot create namespaces (needs root); skipped" >&2; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
strict="-std=c99 -Wall -Wextra -Wpedantic -Werror"
quiet() { "$@" > "$work/log" 2>&1 || { cat "$work/log" >&2; echo "FAIL: $*" >&2; exit 1; }; }

quiet env DESTDIR="$stage" cmake --install "$build_dir"
quiet cmake -S "$source_dir/examples" -B "$work/cmake" -G Ninja -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_C_FLAGS="$strict" -DCMAKE_PREFIX_PATH="$stage$prefix"
quiet cmake --build "$work/cmake"
# Only the stage's pkg-config files; its paths get the stage put in front.
# libmarlclient.so.1 needs libcmnHal.so.1, which the linker looks for in
# the installed folder, not the staged one, unless told (marlclient.pc).
export PKG_CONFIG_LIBDIR="$stage$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$stage"
# shellcheck disable=SC2046,SC2086 # pkg-config's output is a word list
quiet "$cc" $strict $(pkg-config --cflags marlclient) "$source_dir/examples/raise_query_clear.c" \
    -o "$work/pkg-config" $(pkg-config --libs marlclient) -Wl,-rpath-link,"$(pkg-config --variable=libdir marlclient)"

# marld runs in the background until its first line says it is ready.
LD_LIBRARY_PATH="$stage$libdir" "$source_dir/scripts/with-services.sh" 41719 sh -c '
    "$1" > "$2/marld.out" 2>&1 &
    for _ in $(seq 100); do [ -s "$2/marld.out" ] && break; sleep 0.1; done
    "$2/cmake/raise_query_clear" example/cmake && "$2/pkg-config" example/pkg-config
    status=$?
    kill -TERM $! && wait $!
    exit $status' sh "$stage$sbindir/marld" "$work" > "$work/out" 2>&1 || echo "exit status $?" >> "$work/out"
for name in cmake pkg-config; do
    printf 'raise example/%s\nquery example/%s: set\nclear example/%s\nquery example/%s: clear\n' $name $name $name $name
done | cmp -s - "$work/out" || { echo "FAIL: the examples printed:" >&2; cat "$work/out" "$work/marld.out" >&2; exit 1; }

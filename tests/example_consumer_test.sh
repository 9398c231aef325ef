#!/bin/sh
# An install is usable where it lies. This build is installed under a
# temporary prefix (--prefix), and staged with DESTDIR and then moved;
# examples/raise_query_clear.c is built out of the tree against each, through
# the CMake package and through pkg-config, and against the build tree through
# its own CMake package. Then, with no LD_LIBRARY_PATH and the build tree
# hidden, in namespaces whose services database names the point service, each
# install's marld serves that install's two programs and its marl. A build of
# the library alone (MARL_BUILD_TESTS=OFF) has no test code among its targets.
# Usage: example_consumer_test.sh SOURCE_DIR BUILD_DIR LIBDIR BINDIR SBINDIR CC
#   LIBDIR, BINDIR, SBINDIR: the install folders, relative to the prefix.
# Exits 77 (skipped) when it may not create namespaces.
set -eu
source_dir=$1 build_dir=$2 libdir=$3 bindir=$4 sbindir=$5 cc=$6
unshare --mount --net true 2>/dev/null || { echo "cannot create namespaces (needs root); skipped" >&2; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
strict="-std=c99 -Wall -Wextra -Wpedantic -Werror"
quiet() { "$@" > "$work/log" 2>&1 || { cat "$work/log" >&2; echo "FAIL: $*" >&2; exit 1; }; }
# example NAME CMAKE_OPTION: the example built through the CMake package that the option finds.
example() {
    quiet cmake -S "$source_dir/examples" -B "$work/$1" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$strict" "$2"
    quiet cmake --build "$work/$1"
}

quiet cmake --install "$build_dir" --prefix "$work/installed"
quiet env DESTDIR="$work/stage" cmake --install "$build_dir" --prefix /opt/marlclient
mv "$work/stage/opt/marlclient" "$work/moved"
example tree -Dmarlclient_DIR="$build_dir"
quiet cmake -S "$source_dir" -B "$work/alone" -G Ninja -DMARL_BUILD_TESTS=OFF
! ninja -C "$work/alone" -t targets all | grep -E '^(testkit|tests|bench|fuzz)/' || { echo "FAIL: test code above" >&2; exit 1; }
for prefix in installed moved; do
    example "$prefix-cmake" -DCMAKE_PREFIX_PATH="$work/$prefix"
    export PKG_CONFIG_LIBDIR="$work/$prefix/$libdir/pkgconfig" # only this install's pkg-config files
    # shellcheck disable=SC2046,SC2086 # pkg-config's output is a word list
    quiet "$cc" $strict "$source_dir/examples/raise_query_clear.c" -o "$work/$prefix-pkg-config" $(pkg-config --cflags --libs marlclient)
done

# marld runs in the background until its first line says it is ready.
env -u LD_LIBRARY_PATH "$source_dir/scripts/with-services.sh" 41719 sh -c '
    work=$1
    mount -t tmpfs none "$2"
    for prefix in installed moved; do
        "$work/$prefix/$4/marld" > "$work/marld.out" 2>&1 &
        for _ in $(seq 100); do [ -s "$work/marld.out" ] && break; sleep 0.1; done
        "$work/$prefix-cmake/raise_query_clear" $prefix/cmake && "$work/$prefix-pkg-config" $prefix/pkg-config &&
            "$work/$prefix/$3/marl" query $prefix/cmake
        kill -TERM $! && wait $!
    done' sh "$work" "$build_dir" "$bindir" "$sbindir" > "$work/out" 2>&1 || echo "exit status $?" >> "$work/out"
for prefix in installed moved; do
    for name in $prefix/cmake $prefix/pkg-config; do
        printf 'raise %s\nquery %s: set\nclear %s\nquery %s: clear\n' $name $name $name $name
    done
    echo clear
done | cmp -s - "$work/out" || { echo "FAIL: the examples printed:" >&2; cat "$work/out" "$work/marld.out" >&2; exit 1; }

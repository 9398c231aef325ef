#!/bin/sh
# `cpack -G DEB` makes the library, development and tools packages: each file
# in the one package it belongs to (dpkg refuses two packages that share a
# file), the development package and the tools depending on the library of
# their own version, each package labelled with the architecture its code was
# built for. Those for /usr, as Debian's are, depend on every other package at
# a version, give no run path in the pkg-config file, and none, -dbgsym
# packages included, has a fault that lintian finds. (A sanitizer build's
# packages depend on its runtime at any version.)
# Usage: debian_packages_test.sh BUILD_DIR VERSION LIBDIR INCLUDEDIR BINDIR SBINDIR DATADIR MANDIR
set -eu
build=$1 version=$2 libdir=$3 includedir=$4 bindir=$5 sbindir=$6 datadir=$7 mandir=$8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" > cpack.log 2>&1 || { cat cpack.log >&2; exit 1; }
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }
man() { [ -d "$build/man" ] && [ -f "$build/man/$1" ] && echo "$mandir/man${1##*.}/$1.gz"; }

# contains PACKAGE FILE...: the package holds every FILE.
contains() {
    package=$1
    shift
    deb=$(echo "$work/${package}_${version}_"*.deb)
    dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }' > "$package.files" || { fail "no package $package"; return; }
    for file; do
        grep -q -x -F "$file" "$package.files" || fail "$package lacks $file"
    done
    arch=$(dpkg-deb -f "$deb" Architecture)
    case $arch:$(file -b -L "$build/marl/module/marlengine/libmarlclient.so.1") in
        amd64:*x86-64* | powerpc:*PowerPC*) ;;
        *) fail "$package is labelled $arch" ;;
    esac
    [ "$package" = libmarlclient1 ] || dpkg-deb -f "$deb" Depends | grep -q -F "libmarlclient1 (= $version)" ||
        fail "$package does not depend on libmarlclient1 (= $version)"
    [ "$bindir" != /usr/bin ] || ! dpkg-deb -f "$deb" Depends | tr ',' '\n' | grep -q -v -e '(' -e '^$' ||
        fail "$package depends on one at any version"
}

contains libmarlclient1 "$libdir/libmarlclient.so.1" "$libdir/libcmnHal.so.1"
contains libmarlclient-dev "$libdir/libmarlclient.so" "$libdir/libcmnHal.so" "$includedir/marlclient.h" \
    "$includedir/card/cardinetPortNumbersPlatform.h" "$libdir/pkgconfig/marlclient.pc" \
    "$libdir/cmake/marlclient/marlclientConfig.cmake" $(man libmarlclient.3)
units=$([ "$bindir" = /usr/bin ] && echo /lib/systemd/system || echo "${bindir%/bin}/lib/systemd/system")
contains marlclient-tools "$bindir/marl" "$sbindir/marld" "$datadir/marlclient/wireshark/marl.lua" $(man marl.1) $(man marld.8) \
    "$units/marld.service" "$units/marld.socket"
shared=$(cat ./*.files | grep -v '/$' | sort | uniq -d)
[ -z "$shared" ] || fail "files in more than one package: $shared"
# Packages for the prefix /usr, as Debian's are (scripts/test-all.sh builds
# so): lintian finds no error and no warning; what it would rightly say anyway
# is overridden inside the package, with the reason. The system's libraries
# need no run path.
if [ "$bindir" = /usr/bin ]; then
    ! dpkg-deb --fsys-tarfile "$work/libmarlclient-dev_${version}_"*.deb | tar -xO ".$libdir/pkgconfig/marlclient.pc" |
        grep -q rpath || fail "the pkg-config file of $libdir gives a run path"
    lintian --fail-on error,warning "$work"/*.deb "$work"/*.ddeb > lintian.log 2>&1 ||
        fail "lintian: $(grep -v 'root privileges' lintian.log)"
else
    echo "lintian: not run, the packages are for the prefix ${bindir%/bin}" >&2
fi
exit $failed

#!/bin/sh
# `cpack -G DEB` makes the library, development and tools packages; each
# file is in the package it belongs to and in no other (dpkg refuses to
# install two packages that share a file); the development package and the
# tools depend on the library of their own version; and every package is
# labelled with the architecture that its code was built for.
# Usage: debian_packages_test.sh BUILD_DIR VERSION MAN LIBDIR INCLUDEDIR BINDIR SBINDIR DATADIR MANDIR
#   MAN: 1 when the build made the manual pages; the folders in full.
set -eu
build=$1 version=$2 man=$3 libdir=$4 includedir=$5 bindir=$6 sbindir=$7 datadir=$8 mandir=$9
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" > cpack.log 2>&1 || { cat cpack.log >&2; exit 1; }
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

# The file of a package: NAME_VERSION_ARCHITECTURE.deb.
deb() { echo "$work/$1_${version}_"*.deb; }

# contains PACKAGE FILE...: the package exists and holds every FILE.
contains() {
    package=$1
    shift
    [ -f "$(deb "$package")" ] || { fail "no package $package in: $(ls "$work")"; exit 1; }
    dpkg-deb -c "$(deb "$package")" | awk '{ print substr($6, 2) }' > "$package.files"
    for file; do
        grep -q -x -F "$file" "$package.files" || fail "$package lacks $file"
    done
}

contains libmarlclient1 "$libdir/libmarlclient.so.1" "$libdir/libcmnHal.so.1"
contains libmarlclient-dev "$libdir/libmarlclient.so" "$libdir/libcmnHal.so" \
    "$includedir/marlclient.h" "$includedir/card/cardinetPortNumbersPlatform.h" \
    "$libdir/pkgconfig/marlclient.pc" "$libdir/cmake/marlclient/marlclientConfig.cmake" \
    $([ "$man" = 1 ] && echo "$mandir/man3/libmarlclient.3.gz")
contains marlclient-tools "$bindir/marl" "$sbindir/marld" "$datadir/marlclient/wireshark/marl.lua" \
    $([ "$man" = 1 ] && echo "$mandir/man1/marl.1.gz $mandir/man8/marld.8.gz")

shared=$(cat ./*.files | grep -v '/$' | sort | uniq -d)
[ -z "$shared" ] || fail "files in more than one package: $shared"

for deb in "$(deb libmarlclient-dev)" "$(deb marlclient-tools)"; do
    dpkg-deb -f "$deb" Depends | grep -q -F "libmarlclient1 (= $version)" ||
        fail "$deb does not depend on libmarlclient1 (= $version): $(dpkg-deb -f "$deb" Depends)"
done

# The library's machine, as the ELF header tells it, against the label.
dpkg-deb -x "$(deb libmarlclient1)" root
machine=$(file -b -L "root$libdir/libmarlclient.so.1")
for package in libmarlclient1 libmarlclient-dev marlclient-tools; do
    deb=$(deb $package)
    arch=$(dpkg-deb -f "$deb" Architecture)
    case $arch in
        amd64) expected=x86-64 ;;
        powerpc) expected="PowerPC" ;;
        *) expected="an ELF machine this test knows" ;;
    esac
    case $machine in
        *"$expected"*) ;;
        *) fail "$deb is labelled $arch, its library is: $machine" ;;
    esac
done
exit $failed

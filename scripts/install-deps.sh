#!/bin/sh
# Installs everything the project needs to build and test on Debian 12, as
# root. Safe to run again: apt-get skips what is already there.
set -eu
export DEBIAN_FRONTEND=noninteractive
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root (apt-get install)" >&2
    exit 1
fi
apt-get update
apt-get install -y --no-install-recommends \
    ca-certificates build-essential cmake ninja-build pkg-config \
    googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind \
    g++-powerpc-linux-gnu qemu-user \
    clang-14 libclang-rt-14-dev llvm-14 valgrind \
    util-linux mount procps iproute2 \
    tshark \
    dpkg-dev file lintian abigail-tools \
    scdoc man-db groff-base \
    libsqlite3-dev libmicrohttpd-dev \
    curl jq python3-prometheus-client chromium

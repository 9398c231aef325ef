#!/bin/sh
# Installs, as root on Debian 12, what one purpose needs, and nothing when it
# is all there (no apt-get update either):
#   demo  what scripts/demo.sh builds and runs: the compilers and build tools,
#         the libraries marld links (SQLite, libmicrohttpd, libcurl), the services
#         database (netbase) and ip for the demo's namespace, curl for
#         fetching its point over HTTP;
#   test  all that, and every tool of the test suites (scripts/test-all.sh).
# apt-get's output goes to LOG (default /tmp/marl-install-deps.log); one line
# on stdout says what is installed.
# Usage: install-deps.sh demo|test [LOG]
set -eu
export DEBIAN_FRONTEND=noninteractive
demo="cmake ninja-build gcc g++ libsqlite3-dev libmicrohttpd-dev libcurl4-openssl-dev netbase iproute2 curl"
test="$demo pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind
    g++-powerpc-linux-gnu qemu-user clang-14 libclang-rt-14-dev llvm-14 util-linux mount procps
    tshark dpkg-dev file lintian abigail-tools scdoc man-db groff-base jq python3-prometheus-client chromium
    systemd prometheus-alertmanager prometheus"
case ${1:-} in
    demo) packages=$demo purpose="the demo" ;;
    test) packages=$test purpose="the test suites" ;;
    *) echo "usage: install-deps.sh demo|test [LOG]" >&2; exit 2 ;;
esac
log=${2:-/tmp/marl-install-deps.log}
# shellcheck disable=SC2086 # the package lists are word lists
installed=$(dpkg-query -W -f '${db:Status-Status} ${Package}\n' $packages 2>/dev/null | awk '$1 == "installed" { print $2 }')
missing=$(for package in $packages; do echo "$installed" | grep -q -x -F "$package" || echo "$package"; done)
if [ -z "$missing" ]; then
    echo "install-deps: the $(echo $packages | wc -w) packages for $purpose are installed"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install" $missing >&2 # one line
    exit 1
fi
echo "install-deps: installing $(echo $missing | wc -w) packages for $purpose (apt-get's output in $log)"
# shellcheck disable=SC2086
{ apt-get update && apt-get install -y --no-install-recommends $missing; } > "$log" 2>&1 ||
    { tail -n 20 "$log" >&2; echo "install-deps: apt-get failed; its output is in $log" >&2; exit 1; }

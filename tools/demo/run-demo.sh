#!/bin/sh
# Runs marl-demo in a private mount namespace whose services file names the
# point service "marl", so that the host's /etc/services is never edited.
# Usage: run-demo.sh BUILD_DIR [POINT] [PORT] [RUNNER...]
#   RUNNER: a command to run the demo under, e.g. qemu-ppc -L SYSROOT.
# Exits 77 (skipped) when it may not create a mount namespace.
set -eu
build_dir=$1
point=${2:-ab}
port=${3:-41717}
shift $(( $# < 3 ? $# : 3 ))

if ! unshare --mount true 2>/dev/null; then
    echo "run-demo: cannot create a mount namespace (needs root); skipped" >&2
    exit 77
fi
services=$(mktemp)
trap 'rm -f "$services"' EXIT
cat /etc/services > "$services"
printf 'marl\t\t%s/udp\n' "$port" >> "$services"
unshare --mount sh -c 'services=$1 demo=$2 point=$3; shift 3
    mount --bind "$services" /etc/services && exec "$@" "$demo" "$point"' \
    run-demo "$services" "$build_dir/tools/demo/marl-demo" "$point" "$@"

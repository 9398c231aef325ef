#!/bin/sh
# Runs a command in private mount and network namespaces where the services
# database names the point service "marl" on PORT and loopback is up, so that
# the library, marld and marl find each other through the real look-up
# without the host's /etc/services being edited, and so that concurrent runs
# never share a port.
# Usage: with-services.sh PORT COMMAND [ARG...]
# Where it may not create namespaces (not root), it says so and runs the
# command as it is; tests that need the entry then skip themselves.
set -eu
port=$1
shift
if ! unshare --mount --net true 2>/dev/null; then
    echo "with-services: cannot create mount and network namespaces (needs root); running without them" >&2
    exec "$@"
fi
services=$(mktemp)
trap 'rm -f "$services"' EXIT INT TERM
# Any "marl" entry of the host's own would come first: it is left out.
grep -v -E '^marl[[:space:]]' /etc/services > "$services" || true
printf 'marl\t\t%s/udp\n' "$port" >> "$services"
unshare --mount --net sh -c '
    services=$1; shift
    mount --bind "$services" /etc/services
    ip link set lo up
    exec "$@"' with-services "$services" "$@"

#!/bin/sh
# marld without --port listens on the port of the services database's "marl"
# entry, and exits 2 with a message when there is none. A services file is
# bind-mounted over /etc/services in a private mount namespace, so the
# host's file is never edited.
# Usage: marld_services_test.sh MARLD [RUNNER...]   (RUNNER: e.g. qemu-ppc -L SYSROOT)
# Exits 77 (skipped) when it may not create a mount namespace.
set -u
marld=$1
shift
unshare --mount true 2>/dev/null || { echo "cannot create a mount namespace (needs root); skipped" >&2; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
port=$((42000 + $$ % 2000))
grep -v '^marl[[:space:]]' /etc/services > "$work/without"
{ cat "$work/without"; printf 'marl\t\t%s/udp\n' "$port"; } > "$work/with"
# Runs marld with the services file $1 for two seconds, then stops it.
run() {
    services=$1
    shift
    unshare --mount sh -c 'mount --bind "$1" /etc/services && shift && exec timeout --preserve-status -s TERM 2 "$@"' sh "$services" "$@" "$marld" \
        > "$work/out" 2> "$work/err"
    echo "$?: $(cat "$work/out" "$work/err" | head -n 1)"
}
failed=0
expected="0: marld: listening on 127.0.0.1:$port"
[ "$(run "$work/with" "$@")" = "$expected" ] || { echo "FAIL: with an entry: $(cat "$work/out" "$work/err")" >&2; failed=1; }
expected='2: marld: the services database has no "marl" entry; give the port with --port N'
[ "$(run "$work/without" "$@")" = "$expected" ] || { echo "FAIL: without: $(cat "$work/err")" >&2; failed=1; }
exit $failed

#!/bin/sh
# marld without --port listens on the port of the services database's "marl"
# entry, and exits 2 with a message when there is none. It runs in a private
# mount namespace with a services file bind-mounted over /etc/services, so
# the host's file is never edited.
# Usage: marld_services_test.sh MARLD [RUNNER...]   (RUNNER: e.g. qemu-ppc -L SYSROOT)
# Exits 77 (skipped) when it may not create a mount namespace.
set -u
marld=$1
shift
unshare --mount true 2>/dev/null || { echo "cannot create a mount namespace (needs root); skipped" >&2; exit 77; }
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -KILL $pid 2>/dev/null; rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

# Runs marld with the services file $1; unshare and sh exec, so the pid of
# this function's subshell is marld's.
run_marld() {
    services=$1
    shift
    exec unshare --mount sh -c 'mount --bind "$0" /etc/services && exec "$@"' "$services" "$@" "$marld" \
        > "$work/out" 2> "$work/err"
}

port=$((42000 + $$ % 2000)) # unlikely to be taken by a parallel run
grep -v '^marl[[:space:]]' /etc/services > "$work/without"
{ cat "$work/without"; printf 'marl\t\t%s/udp\n' "$port"; } > "$work/with"

(run_marld "$work/with" "$@") &
pid=$!
for _ in $(seq 100); do [ -s "$work/out" ] && break; sleep 0.1; done
[ "$(head -n 1 "$work/out")" = "marld: listening on 127.0.0.1:$port" ] || fail "first line: $(head -n 1 "$work/out")"
kill -TERM $pid
# The watchdog bounds the wait for a marld that does not stop.
(for _ in $(seq 100); do sleep 0.1; done; kill -KILL $pid) > /dev/null 2>&1 &
watchdog=$!
wait $pid
status=$?
pid=
kill $watchdog 2>/dev/null
[ $status -eq 0 ] || fail "exit status after SIGTERM: $status; $(cat "$work/err")"

(run_marld "$work/without" "$@")
status=$?
[ $status -eq 2 ] || fail "exit status without a marl entry: $status"
[ "$(cat "$work/err")" = 'marld: the services database has no "marl" entry; give the port with --port N' ] ||
    fail "message without a marl entry: $(cat "$work/err")"
exit $failed

#!/bin/sh
# marld without --port takes the port of the services database's "marl"
# entry, and exits 2 with a message when there is none. Each run happens in a
# private mount namespace with its own services file bind-mounted over
# /etc/services, so the host's file is never edited.
# Usage: marld_services_test.sh MARLD [RUNNER...]   (RUNNER: e.g. qemu-ppc -L SYSROOT)
# Exits 77 (skipped) when it may not create a mount namespace.
set -u
marld=$1
shift

if ! unshare --mount true 2>/dev/null; then
    echo "marld_services_test: cannot create a mount namespace (needs root); skipped" >&2
    exit 77
fi
work=$(mktemp -d)
pid=
# Never leave marld behind, whatever happens to the test.
trap '[ -n "$pid" ] && kill -KILL $pid 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Runs marld with SERVICES as /etc/services, as this shell's child (unshare
# and sh exec, so the child's pid is marld's); output in $work/out, $work/err.
run_marld() {
    services=$1
    shift
    exec unshare --mount sh -c 'services=$1; shift; mount --bind "$services" /etc/services && exec "$@"' \
        run-marld "$services" "$@" "$marld" > "$work/out" 2> "$work/err"
}

# A port unlikely to be taken by a parallel test run.
port=$((42000 + $$ % 2000))
grep -v '^marl[[:space:]]' /etc/services > "$work/without"
cp "$work/without" "$work/with"
printf 'marl\t\t%s/udp\n' "$port" >> "$work/with"

(run_marld "$work/with" "$@") &
pid=$!
tries=0
while [ ! -s "$work/out" ] && [ $tries -lt 100 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
first=$(head -n 1 "$work/out")
[ "$first" = "marld: listening on 127.0.0.1:$port" ] || fail "first line with a marl entry: '$first'"
kill -TERM $pid
# A watchdog bounds the wait: marld that ignores SIGTERM is killed.
(i=0; while [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done; kill -KILL $pid) > /dev/null 2>&1 &
watchdog=$!
wait $pid
status=$?
pid=
kill $watchdog 2>/dev/null
[ $status -eq 0 ] || fail "exit status after SIGTERM: $status; $(cat "$work/err")"

(run_marld "$work/without" "$@")
status=$?
[ $status -eq 2 ] || fail "exit status without a marl entry: $status"
expected='marld: the services database has no "marl" entry; give the port with --port N'
[ "$(cat "$work/err")" = "$expected" ] || fail "message without a marl entry: '$(cat "$work/err")'"

[ $failures -eq 0 ] && echo "marld_services_test: passed"
exit $((failures != 0))

#!/bin/sh
# marld as systemd runs it, with systemd's own tool and no systemd running:
# systemd-socket-activate passes it the datagram socket of the services
# entry's port and starts it at the first datagram; a socket of the test's,
# named in NOTIFY_SOCKET, hears READY=1 (after the state file was read, before
# the first reply), WATCHDOG=1 every half WATCHDOG_USEC until the loop is
# stopped, and STOPPING=1; a point raised meanwhile is kept. A stream socket
# is refused with exit status 2. First, the units as installed (with this
# build's marld in ExecStart) pass systemd-analyze verify without a word, and
# the service's exposure stays at most 1.5 of 10.
# Usage: systemd_test.sh MARLD MARL UNITS   (inside scripts/with-services.sh)
set -eu
marld=$1 marl=$2 units=$3
command -v systemd-socket-activate > /dev/null || { echo "no systemd-socket-activate: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s|@MARLD_PATH@|$marld|" "$units/marld.service.in" > "$work/marld.service"
cp "$units/marld.socket" "$work/"
(cd "$work" && systemd-analyze verify --man=no ./marld.socket ./marld.service) > "$work/verify" 2>&1 &&
    [ ! -s "$work/verify" ] || { echo "FAIL: systemd-analyze verify: $(cat "$work/verify")"; exit 1; }
(cd "$work" && systemd-analyze security --offline=true --threshold=15 ./marld.service) > "$work/security" ||
    { echo "FAIL: $(tail -1 "$work/security")"; exit 1; }
tail -1 "$work/security"
rm "$work"/marld.*
port=$(awk '$1 == "marl" { split($2, p, "/"); print p[1]; exit }' /etc/services)
[ -n "$port" ] || { echo "no marl services entry: skipped"; exit 77; }
"$marld" --state "$work/points.db" > "$work/first" 2>&1 &
until grep -q listening "$work/first" 2> /dev/null; do sleep 0.05; done
"$marl" raise kept && kill $! && wait $!
exec /usr/bin/python3 - "$marld" "$marl" "$work" "$port" <<'PY'
import os, signal, socket, subprocess, sys, time
marld, marl, work, port = sys.argv[1:]
def fail(what):
    sys.exit("FAIL: " + what)
notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
notify.bind(work + "/notify")
def heard(seconds):  # every message that comes within the time
    got, end = [], time.monotonic() + seconds
    while (left := end - time.monotonic()) > 0:
        notify.settimeout(left)
        try:
            got.append(notify.recv(4096).decode())
        except socket.timeout:
            break
    return got
def activate(*options):
    env = dict(os.environ, NOTIFY_SOCKET=work + "/notify", WATCHDOG_USEC="400000")
    started = subprocess.Popen(["systemd-socket-activate", *options, "-l", "127.0.0.1:" + port, "-E", "NOTIFY_SOCKET",
                                "-E", "WATCHDOG_USEC", marld, "--quiet", "--state", work + "/points.db"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    started.stderr.readline()  # "Listening on ...": the socket is there
    return started
def marl_says(*words):
    return subprocess.run([marl, *words], capture_output=True, text=True).stdout
service = activate("--datagram")
if marl_says("query", "kept") != "set\n":  # the first datagram starts marld
    service.kill()
    fail("the kept point: " + service.communicate()[1])
notify.setblocking(False)
first = notify.recv(4096).decode()  # there before the reply
if first != "READY=1\nSTATUS=1 points, 1 set":
    fail("ready: " + first)
marl_says("raise", "new")
heard(0.01)  # what came while marl ran: only pings within the window count
pings = [m for m in heard(2.0) if m.startswith("WATCHDOG=1\n")]
service.send_signal(signal.SIGSTOP)
heard(0.3)
stopped = heard(1.0)
service.send_signal(signal.SIGCONT)
again = heard(0.5)
service.send_signal(signal.SIGTERM)
out, err = service.communicate(timeout=10)
last = heard(0.5)
if not 6 <= len(pings) <= 12 or stopped or not again or last[-1:] != ["STOPPING=1"] or service.returncode != 0:
    fail(f"pings {pings}, while stopped {stopped}, after {again}, last {last}, exit {service.returncode}: {err}")
service = activate()  # a stream socket, started at the first connection
socket.create_connection(("127.0.0.1", int(port))).close()
out, err = service.communicate(timeout=10)
if service.returncode != 2 or "the first a stream socket" not in err:
    fail(f"a stream socket: exit {service.returncode}: {err}")
state = subprocess.Popen([marld, "--state", work + "/points.db"], stdout=subprocess.PIPE, text=True)
state.stdout.readline()
kept = marl_says("query", "new")
state.terminate()
state.wait()
if kept != "set\n":
    fail("the point raised under systemd was not kept")
print("systemd_test: all passed")
PY

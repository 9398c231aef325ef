#!/bin/sh
# marld's HTTP side, with points raised through marl and so the library: the
# JSON answers checked with jq, /metrics by Accept in OpenMetrics, read by
# python3-prometheus-client's parser, or in the text format, which promtool
# checks, the page loaded in headless Chromium, the statuses of bad requests,
# scrapes answered at once while other clients stall connections, and the
# history taken up again from the state file after a restart.
# Usage: http_test.sh MARLD MARL   (inside scripts/with-services.sh)
set -eu
marld=$1 marl=$2
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid"; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
start() {
    "$marld" --http 0 --state "$work/state.db" "$@" > "$work/out" 2> "$work/err" &
    pid=$!
    for _ in $(seq 100); do grep -q 'serving HTTP' "$work/out" && break || sleep 0.05; done
    base=$(sed -n 's#^marld: serving HTTP on \(http://.*\)/$#\1#p' "$work/out")
    [ -n "$base" ] || fail "marld serves no HTTP: $(cat "$work/err")"
}
stop() { kill "$pid" && wait "$pid" && pid=; }
check() { curl -sS "$base$1" | jq -e "$2" > /dev/null || fail "$1: not $2: $(curl -sS "$base$1")"; }
status() { curl -s -o /dev/null -w '%{http_code}' "$@"; }
metrics() { # true when the Python expression holds of `got`, the samples by name and label values
    curl -sS -H "Accept: application/openmetrics-text" "$base/metrics" | /usr/bin/python3 -c '
import sys, time
from prometheus_client.openmetrics.parser import text_string_to_metric_families
got = {(s.name, tuple(s.labels.values())): s.value
       for family in text_string_to_metric_families(sys.stdin.read()) for s in family.samples}
sys.exit(0 if eval("(" + sys.argv[1] + ")") else f"not {sys.argv[1]} of {got}")' "$1" || fail "metrics"
}

start
"$marl" raise fan-tray-2/overheat --attribute-id temperature --observed 82.5 --text1 "fan 2"
"$marl" raise psu/1
"$marl" clear psu/1
"$marl" raise "$(printf 'caf\351')"
[ "$("$marl" query psu/1)" = clear ] || fail "query psu/1" # and so all the above handled
check /points '(map(.point) | sort) == ["caf\ufffd", "fan-tray-2/overheat", "psu/1"]'
check '/points?state=set' '(map(.pointHex // .point) | sort) == ["636166e9", "fan-tray-2/overheat"]'
check /points/fan-tray-2%2Foverheat '.state == "set" and .updateCount == 1 and
    .runtimeInfo.additionalText1 == "fan 2" and .runtimeInfo.observedValue == 82.5 and
    (.lastChange | test("^20[0-9-]{8}T[0-9:]{8}[.][0-9]{3}Z$"))'
check /points/psu%2F1/history 'map(.state) == ["set", "clear"] and .[0].runtimeInfo == null'
# /view: the first points that match, with how many match, are set and are known.
"$marl" raise Fan-Tray-3/door --text1 open
"$marl" clear Fan-Tray-3/door
check '/view?state=clear&filter=TRAY-3&limit=1' '[.points[].point, .points[0].runtimeInfoFromLastUpdate,
    .matching, .set, .total, .warnings] == ["Fan-Tray-3/door", false, 1, 2, 4, []]'
long=$(printf '%4100s' '' | tr ' ' a)
for row in 404:/points/nope 404:/nope 400:/points/a%zz 400:/points?state=up 414:/points/$long 400:/view?limit=x; do
    [ "$(status "$base${row#*:}")" = "${row%%:*}" ] || fail "${row%%:*} for ${row#*:}"
done
[ "$(status -X POST "$base/points")" = 405 ] || fail "405 for POST"

metrics 'got["marld_points", ()] == 4 and got["marld_points_set", ()] == 2 and
    got["marld_datagrams_received_total", ()] == got["marld_datagrams_accepted_total", ()] == 7 and
    got["marld_queries_total", ("0",)] == 1 and got["marld_queries_total", ("1",)] == 0 and
    got["marld_datagrams_dropped_total", ("short-datagram",)] == 0 and
    got["marld_build_info", ("'"$("$marld" --version | cut -d' ' -f2)"'",)] == 1 and
    0 <= time.time() - got["process_start_time_seconds", ()] < 60'
# OpenMetrics for the clients that ask for it, as Prometheus does; else the
# text format, which promtool finds clean.
om="application/openmetrics-text; version=1.0.0; charset=utf-8" text="text/plain; version=0.0.4; charset=utf-8"
for row in "$om|application/openmetrics-text;version=1.0.0,text/plain;version=0.0.4;q=0.5,*/*;q=0.1" \
        "$om|text/html, Application/OpenMetrics-Text" "$text|" "$text|text/plain" "$text|application/openmetrics-text; q=0, */*"; do
    curl -sS -D "$work/head" -H "Accept: ${row#*|}" "$base/metrics" > "$work/body"
    tr -d '\r' < "$work/head" | grep -qixF "content-type: ${row%%|*}" || fail "Accept ${row#*|}: $(cat "$work/head")"
    if [ "${row%%|*}" = "$om" ]; then [ "$(tail -n 1 "$work/body")" = "# EOF" ]; else
        promtool check metrics < "$work/body" && ! grep -q EOF "$work/body"; fi || fail "/metrics for Accept ${row#*|}"
done

# The page in headless Chromium, driven through its DevTools pipe (commands on
# fd 3, answers on fd 4): each view as text, its address, filter box, whether
# it fits the width and its summary, then a line per row, class and cells;
# a row marked (*) before a refresh is still the same element after it.
"$marl" raise "$(printf 'fan-tray-\377')"
for i in $(seq 589); do "$marl" raise "bulk/$i"; done
/usr/bin/python3 - "$base" "$marl" <<'PY' || fail "page"
import json, os, re, subprocess, sys, time
base, marl = sys.argv[1:]
(ours, its_in), (its_out, theirs) = os.pipe(), os.pipe()
chromium = subprocess.Popen(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe"],
    preexec_fn=lambda: (os.dup2(ours, 3), os.dup2(theirs, 4)), close_fds=False, stderr=subprocess.DEVNULL)
got = b""
def call(method, session=None, **params):
    global got
    os.write(its_in, json.dumps({"id": 1, "method": method, "params": params} | ({"sessionId": session} if session else {})).encode() + b"\0")
    while (answer := json.loads(got.partition(b"\0")[0] or "{}")).get("id") != 1:
        got = got.partition(b"\0")[2] + (b"" if b"\0" in got else os.read(its_out, 65536))
    got = got.partition(b"\0")[2]
    return answer["result"]
text = """[location.search, filter.value, document.documentElement.scrollWidth <= innerWidth, summary.textContent].join(" ") +
  [...rows.rows].map(row => "\\n" + row.className + (row.kept ? "*" : "") + [...row.cells].map(cell => "|" + cell.textContent).join("")).join("")"""
at = r"\|(\d+ min )?\d+ s\|\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\|" # an age and a local time
# After 593 raised points two more, first: marld sorts before it cuts to the page's 500.
raised = r"  true 595 raised of 597 points; the newest 500 shown, 95 more not\nset\|newest/2\|[^\n]*\nset\|newest/1\|[^\n]*(\nset\|[^\n]*){498}"
for query, width, shows in [("?filter=tray&state=all", 1200, r"\?filter=tray&state=all tray true .*\nset\|fan-tray-\\xff\|set" + at +
        r"1\|\nset\|fan-tray-2/overheat\|set" + at + r"1\|attribute temperature .*observed 82\.5 .*text 1 fan 2 from last update"
        r"\nclear\|Fan-Tray-3/door\|clear" + at + r"2\|text 1 open from an earlier update"),
    (None, 1200, r"\?filter=tray&state=all tray .*\nset\|fan-tray-4\|.*\nset\|fan-tray-\\xff\|.*\nset\*\|fan-tray-2/overheat\|.*\nclear\|.*"),
    ("", 1200, raised), ("", 400, raised), ("?point=psu%2F1", 400, r"\?point=psu%2F1  true psu/1: .*\nclear\|.*\nset\|.*")]:
    if query is None: # a raise, then a refresh
        call("Runtime.evaluate", page, expression="rows.rows[1].kept = 1")
        for name in ["fan-tray-4", "newest/1", "newest/2"]: subprocess.run([marl, "raise", name], check=True)
        time.sleep(3.5)
    else:
        page = call("Target.attachToTarget", targetId=call("Target.createTarget", url="about:blank")["targetId"], flatten=True)["sessionId"]
        call("Emulation.setDeviceMetricsOverride", page, width=width, height=900, deviceScaleFactor=1, mobile=False)
        call("Page.navigate", page, url=base + "/" + query)
    for _ in range(100):
        time.sleep(0.05)
        shown = call("Runtime.evaluate", page, expression=text, returnByValue=True)["result"].get("value", "loading\u2026")
        if "loading\u2026" not in shown: break
    if not re.fullmatch(shows, shown): sys.exit("not %s but %s" % (shows, shown[:3000]))
chromium.kill()
PY
# Stalled connections blind no one: 64 clients of 127.0.0.1 each send a
# header line every 5 s, reconnecting when closed, and 129 of 127.0.0.2 send
# nothing, over 15 s. Each is closed 10 s after it opened, the 129th at once;
# meanwhile a scrape every 0.5 s from 127.0.0.1 is answered within 1 s, and
# UDP goes on.
/usr/bin/python3 - "${base##*:}" "$marl" <<'PY' || fail "stalled connections"
import socket, subprocess, sys, threading, time, urllib.request
port, marl = int(sys.argv[1]), sys.argv[2]
start = time.monotonic()
lasted, scrapes, faults = [], [], []  # how long each stalled connection was held; each scrape's time
def connect(source):
    held = socket.socket()
    held.bind((source, 0))
    held.connect(("127.0.0.1", port))
    return held
def ended(held, wait):  # whether marld closed it within `wait`, unanswered
    held.settimeout(wait)
    try:
        got = held.recv(64)
    except socket.timeout:
        return False
    except ConnectionResetError:
        return True
    faults.extend([got] if got else [])
    return True
def trickle():
    while time.monotonic() - start < 15:
        held, opened = connect("127.0.0.1"), time.monotonic()
        held.sendall(b"GET /metrics HTTP/1.1\r\n")
        try:
            while not ended(held, 5):
                held.sendall(b"X-Slow: 1\r\n")
        except BrokenPipeError:
            pass
        lasted.append(time.monotonic() - opened)
def idle():
    held, opened = connect("127.0.0.2"), time.monotonic()
    faults.extend([] if ended(held, 15) else ["an idle connection held"])
    lasted.append(time.monotonic() - opened)
for job in [trickle] * 64 + [idle] * 128:
    threading.Thread(target=job, daemon=True).start()
time.sleep(1)
extra = connect("127.0.0.2")
extra.sendall(b"GET /metrics HTTP/1.1\r\nHost: marld\r\n\r\n")
refused = ended(extra, 1)
while time.monotonic() - start < 15:
    began = time.monotonic()
    try:
        urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=1).read()
        scrapes.append(time.monotonic() - began)
    except OSError as error:
        faults.append(error)
    time.sleep(max(0, began + 0.5 - time.monotonic()))
query = subprocess.run([marl, "query", "psu/1"], capture_output=True).stdout
time.sleep(1)  # the idle ones' ends
print(f"{len(scrapes)} scrapes, the slowest {max(scrapes, default=9):.3f} s; {len(lasted)} stalled connections closed "
      f"after {min(lasted, default=0):.1f} to {max(lasted, default=0):.1f} s; the 129th of 127.0.0.2 closed at once: {refused}")
sys.exit(0 if refused and not faults and len(scrapes) >= 25 and max(scrapes) < 1 and query == b"clear\n" and
         len(lasted) >= 192 and 9.5 < min(lasted) and max(lasted) < 11.5 else f"failed: {faults[:3]}")
PY
stop
start --rcvbuf 2048
check /points/psu%2F1/history 'map(.state) == ["set", "clear"]'
check /points/fan-tray-2%2Foverheat '.updateCount == 1 and .runtimeInfo.attributeId == "temperature"'
# Raises sent while marld is stopped overflow its small receive buffer: the
# kernel's drops and what marld took in add up to what was sent.
kill -STOP "$pid"
for i in $(seq 40); do "$marl" raise "flood/$i"; done
kill -CONT "$pid"
# The query waits until marld has drained its buffer, or it could be dropped too.
drained='got["marld_receive_buffer_drops_total", ()] + got["marld_datagrams_received_total", ()] == 40'
for _ in $(seq 100); do (metrics "$drained") 2> /dev/null && break || sleep 0.05; done
[ "$("$marl" query psu/1)" = clear ] || fail "query after the flood"
metrics 'got["marld_receive_buffer_drops_total", ()] > 0 and
    got["marld_receive_buffer_drops_total", ()] + got["marld_datagrams_received_total", ()] == 41'
# The loss is told within a second: a line, and the page's banner.
lost='.warnings | length == 1 and (.[0] | test("^[0-9]+ updates lost since [0-2][0-9]:[0-5][0-9]: the view may be stale$"))'
for _ in $(seq 40); do (check /view "$lost") 2> /dev/null && break || sleep 0.05; done
check /view "$lost"
grep -q '^marld: [0-9]* updates lost since .*(the receive buffer was full; see --rcvbuf)$' "$work/err" || fail "no line of the loss"
stop
echo "http_test: all passed"

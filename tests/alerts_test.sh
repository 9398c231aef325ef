#!/bin/sh
# marld's alerts, against a real Alertmanager that the test starts on
# loopback with a configuration of its own: a raised point is an active alert
# with its labels and annotations, a cleared one is resolved, a silence only
# mutes; each Alertmanager's alerts are counted apart in /metrics, which
# promtool finds clean; an Alertmanager started later gets every raised point
# within one resend; 10,000 raised points are all active; and against a
# stand-in that answers 500 twice, the failed requests are made again with
# their ends renewed, and counted, and a point that changes meanwhile is sent
# as it ends, not once a change; a pass of resends that outlasts the interval
# still reaches its last points. A failing Alertmanager is told in a line as
# it fails and as it recovers; updates the kernel dropped raise MarldUpdatesLost.
# Usage: alerts_test.sh MARLD   (inside scripts/with-services.sh)
set -eu
marld=$1
command -v prometheus-alertmanager > /dev/null || { echo "no prometheus-alertmanager: skipped"; exit 77; }
work=$(mktemp -d)
trap 'kill $(jobs -p) 2> /dev/null; rm -rf "$work"' EXIT
exec /usr/bin/python3 - "$marld" "$work" <<'PY'
import atexit, http.server, json, os, socket, struct, subprocess, sys, threading, time, urllib.request
marld, work = sys.argv[1:]
children = []  # ended however the test ends, so that no server outlives it
atexit.register(lambda: [child.kill() for child in children])
def fail(what):
    sys.exit("FAIL: " + what)
def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
am_port = free_port()
am_url = f"http://127.0.0.1:{am_port}"
with open(work + "/am.yml", "w") as config:
    config.write("route: {receiver: none}\nreceivers: [{name: none}]\n")
def alertmanager():
    started = subprocess.Popen(["prometheus-alertmanager", "--config.file=" + work + "/am.yml",
                                "--storage.path=" + work + "/am", "--web.listen-address=127.0.0.1:%d" % am_port,
                                "--cluster.listen-address="], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    children.append(started)
    until(lambda: urllib.request.urlopen(am_url + "/-/ready").status == 200, 20, "Alertmanager ready")
    return started
def until(check, seconds, what):  # waits for check() to hold
    end = time.monotonic() + seconds
    while True:
        try:
            if check():
                return
        except OSError:
            pass
        if time.monotonic() > end:
            fail(what + " within %g s" % seconds)
        time.sleep(0.05)
def alerts():  # the active and the muted ones, by point
    return {a["labels"].get("point"): a for a in json.load(urllib.request.urlopen(am_url + "/api/v2/alerts"))}
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
def update(port, name, raised):
    name = name.encode()
    udp.sendto(struct.pack(">Ii32xBBI", 0x8C00, 46 + len(name), raised, 0, len(name)) + name, ("127.0.0.1", port))
def start_marld(resend, *urls, http="0", rcvbuf="4194304"):
    arguments = [marld, "--quiet", "--port", "0", "--http", http, "--max-points", "20000", "--rcvbuf", rcvbuf,
                 "--alert-resend", resend, "--alert-label", "site=lab"]
    for url in urls:
        arguments += ["--alertmanager", url]
    started = subprocess.Popen(arguments, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    children.append(started)
    port = int(started.stdout.readline().rsplit(":", 1)[1])
    return started, port, started.stdout.readline().split()[-1]  # where HTTP is served
def metric(page, name):  # by Alertmanager; the text format, which promtool finds clean
    text = urllib.request.urlopen(page + "metrics").read()
    if subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True).returncode != 0:
        fail("promtool on " + text.decode())
    return {line.split('"')[1]: int(line.split()[1]) for line in text.decode().splitlines() if line.startswith(name + "{")}
def settled(page):  # what was sent was answered: the receiver keeps a body before marld reads the answer
    until(lambda: not any(metric(page, "marld_alerts_pending").values()), 10, "no alert pending")
def stop(started):  # the counters at the stop, and what marld said on stderr
    started.terminate()
    out, err = started.communicate()
    counters = {line.split()[1]: line.split()[2] for line in out.splitlines()
                if line.startswith("marld: ") and len(line.split()) == 3}
    return {**counters, "stderr": err}

# Alertmanager started after marld: every raised point within one resend (2 s).
# It is named twice, each name counted apart.
service, port, page = start_marld("2", am_url, am_url + "/")
for name in ["fan-tray-2/overheat", "psu/1", "gone"]:
    update(port, name, 1)
update(port, "gone", 0)
manager = alertmanager()
start = time.monotonic()
until(lambda: {"fan-tray-2/overheat", "psu/1"} <= alerts().keys(), 3, "both points after Alertmanager came")
if "gone" in alerts():
    fail("a cleared point is active")
# Raised: active with its labels and annotations; cleared: resolved; each within 2 s.
muted = json.dumps({"matchers": [{"name": "point", "value": "muted", "isRegex": False}], "startsAt": "2026-01-01T00:00:00Z",
                    "endsAt": "2100-01-01T00:00:00Z", "createdBy": "test", "comment": "shelved"}).encode()
urllib.request.urlopen(urllib.request.Request(am_url + "/api/v2/silences", muted, {"Content-Type": "application/json"}))
update(port, "psu/1", 0)
update(port, "muted", 1)
until(lambda: "psu/1" not in alerts() and "muted" in alerts(), 2, "psu/1 resolved, muted sent")
state = alerts()["muted"]["status"]
fan = alerts()["fan-tray-2/overheat"]
if state["state"] != "suppressed" or not state["silencedBy"]:
    fail("the silenced alert: %s" % state)
if fan["labels"] != {"alertname": "MarlPointRaised", "point": "fan-tray-2/overheat", "site": "lab"} or \
        fan["annotations"]["summary"] != 'point "fan-tray-2/overheat" is raised' or \
        not fan["generatorURL"].endswith("/?point=fan-tray-2%2foverheat"):
    fail("the alert: %s" % fan)
# 10,000 raised points, all active.
for i in range(10000):
    update(port, "bulk/%05d" % i, 1)
    if i % 500 == 499:
        time.sleep(0.01)
until(lambda: sum(1 for p in alerts() if p and p.startswith("bulk/")) == 10000, 20, "10,000 alerts")
settled(page)
sent = metric(page, "marld_alerts_sent_total")
counters = stop(service)
if sent.keys() != {am_url, am_url + "/"} or min(sent.values()) < 10003 or int(counters["alerts-sent"]) < sum(sent.values()) or \
        "alerts-pending" not in counters:
    fail("counters %s, sent %s" % (counters, sent))
# Updates the kernel dropped while marld was stopped: a line, and an alert of marld's own with their count.
service, port, page = start_marld("2", am_url, rcvbuf="2048")
service.send_signal(19)  # SIGSTOP
for i in range(200):
    update(port, "lost/%d" % i, 1)
service.send_signal(18)  # SIGCONT
until(lambda: alerts().get(None, {}).get("labels") == {"alertname": "MarldUpdatesLost", "site": "lab"}, 5, "MarldUpdatesLost")
lost = alerts()[None]["annotations"]
dropped = urllib.request.urlopen(page + "metrics").read().decode().split("\nmarld_receive_buffer_drops_total ")[1].split()[0]
err = stop(service)["stderr"]
if lost["count"] != dropped or int(dropped) == 0 or not lost["summary"].startswith(dropped + " updates lost since ") or \
        "marld: %s updates lost since " % dropped not in err:
    fail("the loss told as %s and %s, %s dropped" % (lost, err, dropped))
manager.terminate()
manager.wait()

# A stand-in that answers 500 twice, then takes what comes.
bodies, answers, refused = [], [500, 500], []
class StandIn(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        code = answers.pop(0) if answers else 200
        time.sleep(StandIn.delay)
        (bodies if code == 200 else refused).append(body)
        self.send_response(code)
        self.end_headers()
    def log_message(self, *args):
        pass
    delay = 0
stand_in = http.server.HTTPServer(("127.0.0.1", 0), StandIn)
threading.Thread(target=stand_in.serve_forever, daemon=True).start()
service, port, page = start_marld("600", "http://127.0.0.1:%d" % stand_in.server_port)
update(port, "again", 1)
time.sleep(0.2)  # while the refused request waits for its retry, a point changes 101 times
for i in range(101):
    update(port, "flip", (i + 1) % 2)
until(lambda: any(a["labels"]["point"] == "flip" for body in bodies for a in body), 10, "the alerts after two failures")
flips = [a for body in bodies for a in body if a["labels"]["point"] == "flip"]
settled(page)
counters = stop(service)
# Each try carries the same alerts, each with its end renewed.
tries = [[{**alert, "endsAt": None} for alert in body] for body in refused + bodies[:1]]
ends = [body[0]["endsAt"] for body in refused + bodies[:1]]
if int(counters["alerts-failed"]) != sum(map(len, refused)) or len(refused) != 2 or not tries[0] == tries[1] == tries[2] or \
        int(counters["alerts-sent"]) != sum(map(len, bodies)) or not ends[0] < ends[1] < ends[2]:
    fail("counters after the failures %s, ends %s" % (counters, ends))
if len(flips) != 1 or flips[0]["annotations"]["summary"] != 'point "flip" is raised':
    fail("the changing point: %s" % flips)
said = [line for line in counters["stderr"].splitlines() if "alerts" in line]  # once as it failed, once as it recovered
if len(said) != 2 or not said[0].endswith("/api/v2/alerts: HTTP status 500; trying again until it takes them") or \
        " takes alerts again, after failing since " not in said[1]:
    fail("the lines of a failing Alertmanager: %s" % said)

# A pass of resends that outlasts the interval (3 answers of 0.5 s against 1 s)
# goes on to its last points rather than begin again.
StandIn.delay, first = 0.5, len(bodies)
service, port, page = start_marld("1", "http://127.0.0.1:%d" % stand_in.server_port, http="0.0.0.0:0")
many = {"many/%04d" % i for i in range(3000)}
for name in many:
    update(port, name, 1)
points = lambda since: {a["labels"]["point"] for body in bodies[since:] for a in body}
until(lambda: many <= points(first), 10, "the 3,000 raised points sent")
resent = len(bodies)
until(lambda: many <= points(resent), 8, "every point resent")
if max(map(len, bodies[first:])) != 1000:  # a request holds 1,000 alerts at most, and a full one that many
    fail("requests of %s alerts" % sorted({len(body) for body in bodies[first:]}))
if not bodies[-1][0]["generatorURL"].startswith("http://%s:%s/?point=many%%2f" % (socket.gethostname(), page.split(":")[-1][:-1])):
    fail("a page served on every address: %s" % bodies[-1][0])  # linked by the machine's name
stop(service)
print("alerts_test: all passed")
PY

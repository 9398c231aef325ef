#!/bin/sh
# shellcheck disable=SC2046,SC2086 # fields prints, $2 of frames and $pref hold word lists
# Runs tools/wireshark/marl.lua under tshark on a capture of the datagrams that
# make_captures builds with the project's own builders, and checks the decoded
# fields frame by frame against tables worked out by hand from the layouts.
# Usage: dissector_test.sh fields|services|live TSHARK TEXT2PCAP DISSECTOR MAKE_CAPTURES PORT [MARL MARLD]
#   fields:   the port comes from the preference; the tables below.
#   services: the port comes from a services file bind-mounted over
#             /etc/services in a private mount namespace (needs root).
#   live:     real traffic instead: dumpcap on the loopback of a private
#             network namespace while marl talks to marld (needs root).
# Exits 77 (skipped) when tshark or text2pcap is missing or, for services
# and live, when it may not create the namespaces.
set -eu
mode=$1 tshark=$2 text2pcap=$3 dissector=$4 make_captures=$5 port=$6
if [ ! -x "$tshark" ] || [ ! -x "$text2pcap" ]; then
    echo "dissector_test: tshark or text2pcap is not installed (scripts/install-deps.sh); skipped" >&2
    exit 77
fi
if [ "$mode" != fields ] && ! unshare --mount --net true 2>/dev/null; then
    echo "dissector_test: cannot create mount and network namespaces (needs root); skipped" >&2
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# tshark reads and may write its personal configuration under HOME: keep it
# away from the user's, whose preferences and Decode As entries would also
# change what the tables see.
mkdir "$work/home"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
# One datagram a line, each wrapped into a UDP frame to the port: the
# dissector does not care which way a datagram goes.
"$make_captures" >"$work/marl.hex"
"$text2pcap" -q -r '^(?<time>[0-9.]+) (?<data>[0-9a-f]+)$' -t '%s.%f' -u 50123,"$port" "$work/marl.hex" "$work/marl.pcap" 2>"$work/err" ||
    { cat "$work/err" >&2; exit 1; }
failures=0 launcher=env capture=$work/marl.pcap

# Runs "$@" with $work/services mounted over /etc/services, for it alone.
with_services() {
    unshare --mount sh -c 'mount --bind "$0" /etc/services && exec "$@"' "$work/services" "$@"
}

# check NAME TSHARK_ARGS... < what tshark must print, with the dissector
# loaded. As root, tshark always warns that it runs as root; that line is
# dropped. Anything else on stderr (shown), a Lua error above all, or a
# failed run fails the check.
check() {
    name=$1
    shift
    expected=$(cat)
    if $launcher "$tshark" -n -r "$capture" -X lua_script:"$dissector" "$@" >"$work/out" 2>"$work/err" &&
        ! grep -v -x -F 'Running as user "root" and group "root". This could be dangerous.' "$work/err" >&2 &&
        [ "$(cat "$work/out")" = "$expected" ]; then
        echo "ok: $name"
    else
        printf 'FAIL: %s: tshark %s\nexpected:\n%s\ntshark printed:\n' "$name" "$*" "$expected"
        cat "$work/out"
        failures=$((failures + 1))
    fi
}

# frames NAME FRAMES TSHARK_ARGS...: the frame numbers that pass a filter.
frames() {
    name=$1
    printf '%s\n' $2 >"$work/frames"
    shift 2
    check "$name" -T fields -e frame.number "$@" <"$work/frames"
}

# The arguments that print frame.number and each field, |-separated; marl.
# goes before every field name that does not start with an underscore.
fields() {
    printf '%s' "-o marl.udp_port:$port -T fields -E separator=| -e frame.number"
    for f; do case $f in _*) printf ' -e %s' "$f" ;; *) printf ' -e marl.%s' "$f" ;; esac; done
}

if [ "$mode" = live ]; then
    # In namespaces whose services file names marl on the port, marld answers
    # there; dumpcap stops by itself after the four datagrams (or is stopped
    # after 20 s).
    capture=$work/live.pcapng
    "${dissector%/tools/wireshark/marl.lua}/scripts/with-services.sh" "$port" sh -c '
        dumpcap -q -i lo -c 4 -f "udp port $2" -w "$1/live.pcapng" 2>"$1/dumpcap.err" &
        dumpcap=$!
        # dumpcap says "Capturing on" before it opens the interface; the file
        # it writes once the interface is open tells that it is listening.
        for _ in $(seq 100); do [ -s "$1/live.pcapng" ] && break; sleep 0.1; done
        "$3" >"$1/marld.out" 2>&1 &
        for _ in $(seq 100); do [ -s "$1/marld.out" ] && break; sleep 0.1; done
        "$4" raise fan/hot && "$4" clear fan/hot --low 1 --text1 t && "$4" query fan/hot >/dev/null
        status=$?
        kill -TERM $! && wait $!
        (sleep 20 && kill -INT $dumpcap) >/dev/null 2>&1 &
        timer=$!
        wait $dumpcap
        kill $timer 2>/dev/null
        exit $status' sh "$work" "$port" "$8" "$7" || { cat "$work/dumpcap.err" "$work/marld.out" >&2; exit 1; }
    # 2 is 53 bytes and a 36-byte block: the threshold without texts (22),
    # then the six counted texts, "t" among them (14). marld echoes the name.
    check "marl and marld on the wire" $(fields _ws.col.Info length pointNameLength pointName low additionalText1) <<'EOF'
1|Update fan/hot set|53|7|fan/hot||
2|Update ext fan/hot clear|89|7|fan/hot|1|t
3|Query fan/hot|51|7|fan/hot||
4|Response fan/hot clear rc=OK|56|7|fan/hot||
EOF
    exit $((failures != 0))
fi

if [ "$mode" = services ]; then
    # Only an entry whose name or alias is exactly marl counts, outside a
    # comment, the first of any protocol; the later udp entry is not the one.
    decoys="# marl $port/udp\nmarlin $port/udp\nxmarl $port/udp\nother $port/udp notmarl # marl\n"
    printf "$decoys" >"$work/services"
    launcher=with_services
    frames "decoys alone register no port" "" -Y marl
    printf "${decoys}point ${port}/tcp marl\nmarl 9/udp\n" >"$work/services"
    frames "registered on the first entry named marl" "$(seq 1 21)" -Y marl
    frames "the preference overrides the services file" "" -o marl.udp_port:0 -Y marl
    exit $((failures != 0))
fi

# The Info column also shows setPoint, pointIsSet, returnCode and the name.
# All after the header of an unknown message is left as bytes after it. Frame 4 carries a distinct value in every header
# field; the header of frame 11 ends after sequenceReply.
check "what each frame is" $(fields _ws.col.Info id length sendResponse pointNameLength trailing control \
    sequence sequenceReply txTime.tv_sec txTime.tv_usec rxTime.tv_sec rxTime.tv_usec timeReply.tv_sec \
    timeReply.tv_usec) <<'EOF'
1|Update ab set|0x00008c00|48|0|2||0x00000000|0|0|0|0|0|0|0|0
2|Update "" clear|0x00008c00|46|0|0||0x00000000|0|0|0|0|0|0|0|0
3|Query ab|0x00008c01|46||2||0x00000000|0|0|0|0|0|0|0|0
4|Response ab set rc=OK|0x00008c02|51||2||0x01020304|5|6|7|8|-9|10|11|999999
5|Response ab rc=INVALID_POINT_ID|0x00008c02|51||2||0x00000000|0|0|0|0|0|0|0|0
6|Update ext ab set|0x00008c04|86|0|2||0x00000000|0|0|0|0|0|0|0|0
7|Update ext ab clear|0x00008c04|64|0|2||0x00000000|0|0|0|0|0|0|0|0
8|Update ext fan/hot set|0x00008c04|145|0|7||0x00000000|0|0|0|0|0|0|0|0
9|Unknown id 0x8c03|0x00008c03|48|||0100000000026162|0x00000000|0|0|0|0|0|0|0|0
10|MARL [Malformed]||||||||||||||
11|Update [Malformed]|0x00008c00|20||||0x00000000|0|0||||||
12|Response set rc=OK [Malformed]|0x00008c02|48||||0x00000000|0|0|0|0|0|0|0|0
13|Update ab set [Malformed]|0x00008c00|50|0|2||0x00000000|0|0|0|0|0|0|0|0
14|Update set [Malformed]|0x00008c00|48|0|10||0x00000000|0|0|0|0|0|0|0|0
15|Update ext ab clear [Malformed]|0x00008c04|53|0|2||0x00000000|0|0|0|0|0|0|0|0
16|Update ext ab set [Malformed]|0x00008c04|61|0|2||0x00000000|0|0|0|0|0|0|0|0
17|Update ext ab clear [Malformed]|0x00008c04|64|0|2||0x00000000|0|0|0|0|0|0|0|0
18|Query ab|0x00008c01|48||2|0000|0x00000000|0|0|0|0|0|0|0|0
19|Update ext ab clear|0x00008c04|66|0|2|0001|0x00000000|0|0|0|0|0|0|0|0
20|Response cd set rc=OK|0x00008c02|51||2||0x00000000|0|0|0|0|0|0|0|0
21|Response ab set rc=OK|0x00008c02|51||2||0x00000000|0|0|0|0|0|0|0|0
EOF

# 6: the 38-byte block with a small threshold; 7: the 16-byte one; 8:
# everything, with thresholdLength 5 and "critical" cut to its 4 characters.
texts="$(for t in monitoredAttributes serviceUser serviceProvider securityAlarmDetector additionalText1 \
    additionalText2; do echo "$t.length $t"; done)"
check "threshold information" -Y 'frame.number in {6..8}' $(fields thresholdLength attributeId.length \
    attributeId indication.length indication low high observedValue armTime) <<'EOF'
6|22|1|a|1|b|1|2|0.5|Jan  1, 1970 00:00:16.000000000 UTC
7|0||||||||
8|5|8|cpu-temp|4|crit|-5.25|85.5|91|Nov 14, 2023 22:13:20.000000000 UTC
EOF
check "the six texts in their order" -Y 'frame.number in {6..8}' $(fields $texts padding) <<'EOF'
6|0||0||0||0||0||0||
7|1|x|0||0||0||0||0||
8|4|temp|4|user|8|provider|8|detector|5|text1|5|text2|00000000
EOF

# Only the frames with any expert info; columns: short, length_mismatch,
# past_end, unknown_id, no_terminator, trailing, foreign_reply, late_reply,
# then the messages.
check "expert info" -Y _ws.expert $(fields expert.short expert.length_mismatch expert.past_end expert.unknown_id \
    expert.no_terminator expert.trailing expert.foreign_reply expert.late_reply _ws.expert.message) <<'EOF'
9||||1|||||Unknown message identifier 0x8c03
10|1||||||||Datagram of 3 bytes is shorter than the 40-byte header
11|1||||||||Datagram of 20 bytes is shorter than the 46-byte update record
12|1||||||||Datagram of 48 bytes is shorter than the 49-byte response record
13||1|||||||Header length 50 disagrees with the datagram's 48 bytes
14|||1||||||Point name of 10 bytes (2 left) runs past the end of the datagram
15|||1||||||monitoredAttributes of 1 bytes runs past the end of the datagram
16|||1||||||low runs past the end of the datagram
17|||||1||||monitoredAttributes is not followed by a NUL byte
18||||||1|||2 bytes after the end of the message
19||||||1|||2 bytes after the end of the message
20|||||||1||Reply for cd while the last query asked for ab
21||||||||1|Reply 11.0 s after its query
EOF

pref="-o marl.udp_port:$port"
frames "identifier names" "6 7 8 15 16 17 19" $pref -Y 'marl.id == "MARL_MSG_UPDATE_POINT_EXT"'
frames "return code names" "5" $pref -Y 'marl.returnCode == "MARL_MSG_RC_INVALID_POINT_ID"'
frames "Decode As" "$(seq 1 21)" -o marl.udp_port:0 -d "udp.port==$port,marl" -Y marl
[ "$failures" -eq 0 ]

#!/bin/sh
# Runs tools/wireshark/marl.lua under tshark on a capture that make_captures
# builds with the project's own record writers, and checks the decoded fields
# packet by packet against tables worked out by hand from the message layouts.
# Usage: dissector_test.sh fields|services TSHARK DISSECTOR MAKE_CAPTURES PORT
#   fields:   the port comes from the preference; the tables below.
#   services: the port comes from a services file bind-mounted over
#             /etc/services in a private mount namespace (needs root).
# Exits 77 (skipped) when tshark is missing or, for services, when it may not
# create a mount namespace.
set -eu
mode=$1 tshark=$2 dissector=$3 make_captures=$4 port=$5

if [ ! -x "$tshark" ]; then
    echo "dissector_test: tshark is not installed (scripts/install-deps.sh); skipped" >&2
    exit 77
fi
if [ "$mode" = services ] && ! unshare --mount true 2>/dev/null; then
    echo "dissector_test: cannot create a mount namespace (needs root); skipped" >&2
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# tshark reads and may write its personal configuration under HOME: keep it
# away from the user's, whose preferences and Decode As entries would also
# change what the tables see.
mkdir "$work/home"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
"$make_captures" "$work/marl.pcap" "$port"
failures=0
launcher=env

# Runs "$@" with $work/services mounted over /etc/services, for it alone.
with_services() {
    unshare --mount sh -c 'mount --bind "$0" /etc/services && exec "$@"' "$work/services" "$@"
}

# Runs tshark on the capture with the dissector loaded, output in $work/out.
# As root, tshark always warns that it runs as root; that line is dropped.
# Anything else on stderr, a Lua error above all, fails the test.
run() {
    if ! $launcher "$tshark" -n -r "$work/marl.pcap" -X lua_script:"$dissector" "$@" \
        >"$work/out" 2>"$work/err"; then
        cat "$work/err" >&2
        echo "FAIL: tshark $*" >&2
        exit 1
    fi
    if grep -v -x -F 'Running as user "root" and group "root". This could be dangerous.' "$work/err" >&2; then
        echo "FAIL: tshark wrote to stderr: $*" >&2
        exit 1
    fi
}

# check NAME TSHARK_ARGS... < table: the output that tshark must print.
check() {
    name=$1
    shift
    cat >"$work/expected"
    run "$@"
    if diff -u "$work/expected" "$work/out" >"$work/diff"; then
        echo "ok: $name"
    else
        echo "FAIL: $name (expected, then what tshark printed)"
        cat "$work/diff"
        failures=$((failures + 1))
    fi
}

# frames NAME FRAMES TSHARK_ARGS...: the frame numbers that pass a filter.
frames() {
    name=$1 expected=$2
    shift 2
    for frame in $expected; do echo "$frame"; done >"$work/frames"
    check "$name" -T fields -e frame.number "$@" <"$work/frames"
}

fields="-T fields -E separator=|"

if [ "$mode" = services ]; then
    # Only an entry whose name or alias is exactly marl counts, the first of
    # any protocol; the later udp entry is not the one.
    decoys="# marl $port/udp\nmarlin $port/udp\nxmarl $port/udp\nother $port/udp notmarl\n"
    printf "$decoys" >"$work/services"
    launcher=with_services
    frames "decoys alone register no port" "" -Y marl
    printf "${decoys}point ${port}/tcp marl\nmarl 9/udp\n" >"$work/services"
    frames "registered on the first entry named marl" "$(seq 1 18)" -Y marl
    frames "the preference overrides the services file" "" -o marl.udp_port:0 -Y marl
    [ "$failures" -eq 0 ] || exit 1
    exit 0
fi

pref="-o marl.udp_port:$port"

# The Info column also shows setPoint, pointIsSet, returnCode and the name.
# shellcheck disable=SC2086 # $fields and $pref are word lists
check "what each frame is" $fields $pref -e frame.number -e _ws.col.Info -e marl.id -e marl.length \
    -e marl.sendResponse -e marl.pointNameLength <<'EOF'
1|Update ab set|0x00008c00|48|0|2
2|Update ab clear|0x00008c00|48|0|2
3|Query ab|0x00008c01|46||2
4|Response set rc=OK|0x00008c02|49||2
5|Response rc=INVALID_POINT_ID|0x00008c02|49||2
6|Update ext ab set|0x00008c04|86|0|2
7|Update ext ab clear|0x00008c04|64|0|2
8|Update ext fan/hot set|0x00008c04|145|0|7
9|Unknown id 0x8c03|0x00008c03|48||
10|MARL [Malformed]||||
11|Update [Malformed]|0x00008c00|20||
12|Response set rc=OK [Malformed]|0x00008c02|45||
13|Update ab set [Malformed]|0x00008c00|50|0|2
14|Update set [Malformed]|0x00008c00|48|0|10
15|Update ext ab set [Malformed]|0x00008c04|53|0|2
16|Update ext ab set [Malformed]|0x00008c04|60|0|2
17|Update ext ab set [Malformed]|0x00008c04|64|0|2
18|Query ab|0x00008c01|48||2
EOF

# Frame 4 carries a distinct value in every header field.
check "header fields" $fields $pref -Y 'frame.number in {1, 4}' -e frame.number -e marl.control \
    -e marl.sequence -e marl.sequenceReply -e marl.txTime.tv_sec -e marl.txTime.tv_usec \
    -e marl.rxTime.tv_sec -e marl.rxTime.tv_usec -e marl.timeReply.tv_sec -e marl.timeReply.tv_usec <<'EOF'
1|0x00000000|0|0|0|0|0|0|0|0
4|0x01020304|5|6|7|8|-9|10|11|999999
EOF

# 6: the 38-byte example block; 7: the 16-byte one; 8: everything, with
# thresholdLength 5 and the indication "critical" cut to its 4 characters.
check "threshold information" $fields $pref -Y 'frame.number in {6..8}' -e frame.number \
    -e marl.thresholdLength -e marl.attributeId.length -e marl.attributeId -e marl.indication.length \
    -e marl.indication -e marl.low -e marl.high -e marl.observedValue -e marl.armTime <<'EOF'
6|22|1|a|1|b|1|2|0.5|Jan  1, 1970 00:00:16.000000000 UTC
7|0||||||||
8|5|8|cpu-temp|4|crit|-5.25|85.5|91|Nov 14, 2023 22:13:20.000000000 UTC
EOF

check "the six texts in their order" $fields $pref -Y 'frame.number in {6..8}' -e frame.number \
    -e marl.monitoredAttributes.length -e marl.monitoredAttributes -e marl.serviceUser.length \
    -e marl.serviceUser -e marl.serviceProvider.length -e marl.serviceProvider \
    -e marl.securityAlarmDetector.length -e marl.securityAlarmDetector -e marl.additionalText1.length \
    -e marl.additionalText1 -e marl.additionalText2.length -e marl.additionalText2 -e marl.padding <<'EOF'
6|0||0||0||0||0||0||
7|1|x|0||0||0||0||0||
8|4|temp|4|user|8|provider|8|detector|5|text1|5|text2|00000000
EOF

# Columns: short, length_mismatch, past_end, unknown_id, no_terminator,
# trailing, then the messages.
check "expert info" $fields $pref -e frame.number -e marl.expert.short -e marl.expert.length_mismatch \
    -e marl.expert.past_end -e marl.expert.unknown_id -e marl.expert.no_terminator \
    -e marl.expert.trailing -e _ws.expert.message <<'EOF'
1|||||||
2|||||||
3|||||||
4|||||||
5|||||||
6|||||||
7|||||||
8|||||||
9||||1|||Unknown message identifier 0x8c03
10|1||||||Datagram of 3 bytes is shorter than the 40-byte header
11|1||||||Datagram of 20 bytes is shorter than the 46-byte update record
12|1||||||Datagram of 45 bytes is shorter than the 49-byte response record
13||1|||||Header length 50 disagrees with the datagram's 48 bytes
14|||1||||Point name of 10 bytes (2 left) runs past the end of the datagram
15|||1||||monitoredAttributes of 4 bytes runs past the end of the datagram
16|||1||||low runs past the end of the datagram
17|||||1||monitoredAttributes is not followed by a NUL byte
18||||||1|2 bytes after the end of the message
EOF

frames "identifier names" "6 7 8 15 16 17" $pref -Y 'marl.id == "MARL_MSG_UPDATE_POINT_EXT"'
frames "return code names" "5" $pref -Y 'marl.returnCode == "MARL_MSG_RC_INVALID_POINT_ID"'
frames "no port with the preference at 0" "" -o marl.udp_port:0 -Y marl
frames "Decode As" "$(seq 1 18)" -o marl.udp_port:0 -d "udp.port==$port,marl" -Y marl

[ "$failures" -eq 0 ]

#!/bin/sh
# The main job: starts marld, the point service, on loopback; raises,
# queries, clears and queries a point with marl, then raises it with runtime
# information; shows marld's view of it all, over HTTP too, and stops the
# service. MARL_DEMO_HTTP is the HTTP side's port (default 8080; empty: no
# HTTP side, as for a marld built without libmicrohttpd).
# Everything runs in private namespaces whose services file names "marl"
# (scripts/with-services.sh), so nothing on the host is edited.
# Usage: run-demo.sh BUILD_DIR [POINT] [RUNNER...]
#   RUNNER: a command to run the programs under, e.g. qemu-ppc -L SYSROOT.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ "${MARL_DEMO_INSIDE:-}" != 1 ]; then
    MARL_DEMO_INSIDE=1 exec "$here/../../scripts/with-services.sh" 41717 sh "$0" "$@"
fi
build=$1
point=${2:-fan-tray-2/overheat}
shift $(( $# < 2 ? $# : 2 ))
runner="$*" # words of a command, split on purpose below
http=${MARL_DEMO_HTTP-8080}

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# shellcheck disable=SC2086 # runner and the option are word lists on purpose
$runner "$build/tools/marld/marld" ${http:+--http $http} > "$log" 2>&1 &
marld=$!
tries=0
until grep -q 'listening on' "$log"; do
    tries=$((tries + 1))
    if [ $tries -gt 100 ] || ! kill -0 $marld 2>/dev/null; then
        echo "run-demo: marld did not start:" >&2
        cat "$log" >&2
        exit 1
    fi
    sleep 0.1
done
header=$([ -n "$http" ] && echo 2 || echo 1) # the listening line, and where the page is
until [ "$(wc -l < "$log")" -ge "$header" ]; do sleep 0.1; done
sed -n "1,${header}p" "$log"

# quoted WORD...: the words as a shell reads them back, each one that holds
# more than letters, digits and ./:=%+,@_- in single quotes.
quoted() {
    for word; do
        case $word in
            '' | *[!A-Za-z0-9./:=%+,@_-]*) printf " '%s'" "$(printf %s "$word" | sed "s/'/'\\\\''/g")" ;;
            *) printf ' %s' "$word" ;;
        esac
    done
}
# Each command is shown as it could be typed in the project's top folder.
marl=${build#"$PWD"/}/tools/marl/marl
run() {
    echo "\$$(quoted "$marl" "$@")"
    $runner "$build/tools/marl/marl" "$@" 2>&1 || echo "(exit status $?)"
}
run raise "$point"
run query "$point"
run clear "$point"
run query "$point"
run --attribute-id temperature --indication high --low 10 --high 80 --observed 85.5 \
    --arm-time "$(date +%s)" --monitored "board 3" --text1 "fan speed low" raise "$point"
run query "$point"
if [ -n "$http" ] && command -v curl > /dev/null; then
    url="http://127.0.0.1:$http/points/$(printf %s "$point" | sed 's#/#%2F#g')"
    echo "\$$(quoted curl "$url")"
    curl -sS "$url" && echo
fi

kill -TERM $marld
wait $marld || true
echo "--- marld's view of it:"
sed "1,${header}d" "$log"

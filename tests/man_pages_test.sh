#!/bin/sh
# The manual pages render without a warning and keep up with what they
# describe: libmarlclient(3) shows every function the library exports,
# marl(1) and marld(8) every option that the programs' --help lists.
# Usage: man_pages_test.sh MAN_DIR VERSION_SCRIPT MARL MARLD [RUNNER...]
set -u
mandir=$1 map=$2 marl=$3 marld=$4
shift 4
failed=0
# shows PAGE WORD...: the page renders cleanly and, as a reader sees it, shows every WORD.
shows() {
    page=$1
    shift
    warnings=$(MANROFFSEQ='' man --warnings -l "$mandir/$page" 2>&1 > /dev/null)
    [ $? -eq 0 ] && [ -z "$warnings" ] && [ $# -gt 0 ] || { echo "FAIL: $page: $warnings" >&2; failed=1; }
    text=$(MANWIDTH=200 man -E ascii -l "$mandir/$page" 2>/dev/null)
    for word; do
        printf '%s\n' "$text" | grep -q -F -e "$word" || { echo "FAIL: $page does not show $word" >&2; failed=1; }
    done
}
shows libmarlclient.3 $(sed -n 's/^ *\([A-Za-z_][A-Za-z0-9_]*\);$/\1(/p' "$map")
shows marl.1 $("$@" "$marl" --help | grep -o -e '--[a-z][a-z0-9-]*')
shows marld.8 $("$@" "$marld" --help | grep -o -e '--[a-z][a-z0-9-]*')
exit $failed

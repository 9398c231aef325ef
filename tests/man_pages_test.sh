#!/bin/sh
# The manual pages render without a warning and keep up with what they
# describe: libmarlclient(3) shows every function the library exports, and
# marl(1) and marld(8) define exactly the options that the programs' --help
# lists, no more and no fewer.
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
# defines PAGE HELP: the options the page defines (its indented terms) are those the --help text HELP lists.
defines() {
    page=$(MANWIDTH=200 man -E ascii -l "$mandir/$1" 2>/dev/null | grep -E '^ {7}-' | grep -o -e '--[a-z][a-z0-9-]*' |
        sort -u)
    help=$(printf '%s\n' "$2" | grep -o -e '--[a-z][a-z0-9-]*' | sort -u)
    [ "$page" = "$help" ] || { printf 'FAIL: %s defines\n%s\nbut --help lists\n%s\n' "$1" "$page" "$help" >&2; failed=1; }
}
shows marl.1 "marl"
shows marld.8 "marld"
defines marl.1 "$("$@" "$marl" --help)"
defines marld.8 "$("$@" "$marld" --help)"
exit $failed

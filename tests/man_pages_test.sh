#!/bin/sh
# The manual pages render without a warning, and they keep up with what they
# describe: libmarlclient(3) shows every function that the library exports,
# marl(1) and marld(8) every option that the programs' --help lists.
# Usage: man_pages_test.sh MAN_DIR VERSION_SCRIPT MARL MARLD [RUNNER...]
#   MAN_DIR: the built pages; VERSION_SCRIPT: the library's export list;
#   RUNNER: a command to run the programs under, e.g. qemu-ppc -L SYSROOT.
set -u
mandir=$1 map=$2 marl=$3 marld=$4
shift 4
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

for page in marl.1 marld.8 libmarlclient.3; do
    warnings=$(MANROFFSEQ='' man --warnings -l "$mandir/$page" 2>&1 > /dev/null) || fail "$page: man failed"
    [ -z "$warnings" ] || fail "$page: $warnings"
done

# shows PAGE WORD...: the page, as a reader sees it, shows every WORD.
shows() {
    page=$1
    shift
    [ $# -gt 0 ] || fail "nothing to look for in $page"
    text=$(MANWIDTH=200 man -E ascii -l "$mandir/$page" 2>/dev/null)
    for word; do
        printf '%s\n' "$text" | grep -q -F -e "$word" || fail "$page does not show $word"
    done
}
shows libmarlclient.3 $(sed -n 's/^ *\([A-Za-z_][A-Za-z0-9_]*\);$/\1(/p' "$map")
shows marl.1 $("$@" "$marl" --help | grep -o -e '--[a-z][a-z0-9-]*')
shows marld.8 $("$@" "$marld" --help | grep -o -e '--[a-z][a-z0-9-]*')
exit $failed

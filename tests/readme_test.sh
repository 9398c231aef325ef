#!/bin/sh
# The README's command blocks do what they say. Each ```sh block that the
# line <!-- unattended --> introduces runs, in the README's order, in one bash
# that stops at the first failing command, on a copy of the checkout (its
# tracked and new files), from its top folder, as a new user runs them. It
# runs in private mount and network namespaces with an /etc, /usr/local and
# /tmp of their own, so that what the blocks install, edit or start stays
# there. A command put in the background ("&") gets a second to start, the
# time a person takes to type the next line; a line that ends in
# "# prints: TEXT" must print TEXT alone.
# Usage (as root): readme_test.sh SOURCE_DIR WORK_DIR   (WORK_DIR not under /tmp)
set -eu
source_dir=$1 work=$2
unset MARL_BUILD_ROOT MARL_BUILD_DIR # the caller's own build places; a new user has none
rm -rf "$work" && mkdir -p "$work/src" && cp -a /etc "$work/etc"
git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
    tar -C "$source_dir" --null --ignore-failed-read -T - -cf - | tar -C "$work/src" -xf -
# One command a line (continuations joined, comments after blanks dropped),
# each stopping the run when it fails, && lists too, which bash -e would not.
awk '
    /^<!-- unattended -->$/ { marked = NR + 1; next }
    NR == marked && /^```sh$/ { inside = 1; print "echo \"=== README line " NR "\""; next }
    inside && /^```$/ { inside = 0; next }
    !inside { next }
    { line = line $0 }
    line ~ /\\$/ { sub(/\\$/, "", line); next }
    match(line, /[ \t]+# prints: /) {
        line = "test \"$(" substr(line, 1, RSTART - 1) ")\" = \"" substr(line, RSTART + RLENGTH) "\""
    }
    { sub(/(^|[ \t]+)#.*$/, "", line) }
    line ~ /[^ \t]/ { print line (line ~ /[^&]&[ \t]*$/ ? "\nsleep 1" : " || { echo \"FAIL: README line " NR "\" >&2; exit 1; }") }
    { line = "" }' "$source_dir/README.md" > "$work/blocks.sh"
grep -q '=== README line' "$work/blocks.sh" || { echo "FAIL: no unattended block in the README" >&2; exit 1; }
unshare --mount --net sh -c '
    mount --bind "$1/etc" /etc && mount -t tmpfs none /usr/local && mount -t tmpfs none /tmp && ip link set lo up &&
        cd "$1/src" && CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" exec bash -x "$1/blocks.sh"
    ' readme "$work"

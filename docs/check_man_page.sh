#!/usr/bin/env bash
# Checks a manual page against its program: groff and man find nothing to warn about, and
# the page shows the usage lines and every option of the program's help text, each with the
# help's own description.
# Usage: check_man_page.sh PAGE PROGRAM
set -uo pipefail
page=$1
program=$2
name=$(basename "$page" .1)
failed=0

fail() {
    echo "$page: $*" >&2
    failed=1
}

squeeze() { tr -s ' \t' '  '; }

warnings=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed"
[ -z "$warnings" ] || fail "groff warns: $warnings"
warnings=$(man --warnings -l "$page" 2>&1 >/dev/null) || fail "man failed"
[ -z "$warnings" ] || fail "man warns: $warnings"

# What a reader sees as one line of plain ASCII with single spaces, each line of the page
# (a synopsis line, an option's tag, a paragraph) after a space.
rendered=$(LC_ALL=C MANWIDTH=1000 man -l "$page" 2>/dev/null | col -b | tr '\n' ' ' | squeeze)
# Shows `text` after a space, and after it the end of a line too when `whole` is given.
expect() {
    local text
    text=$(printf ' %s%s' "$1" "${2:+ }" | squeeze)
    [[ $rendered == *"$text"* ]] || fail "does not show '$1'"
}

help=$(exec -a "$name" "$program" --help) || fail "$name --help failed"
[ -n "$help" ] || fail "$name --help printed nothing"
option_line='^  ([^ ].*[^ ])  +([^ ].*)$'
while IFS= read -r line; do
    if [[ $line == "Usage: "* ]]; then
        expect "${line#Usage: }" whole
    elif [[ $line =~ $option_line ]]; then
        # The tag, then the description opening with the help's words.
        expect "${BASH_REMATCH[1]} ${BASH_REMATCH[2]%.}"
    elif [[ $line =~ ^\ +(-.*)$ ]]; then
        expect "$name ${BASH_REMATCH[1]}" whole  # a later usage line, aligned under the name
    elif [[ $line =~ ^\ +("$name "-.*)$ ]]; then
        expect "${BASH_REMATCH[1]}" whole  # a later usage line that repeats the name
    fi
done <<<"$help"

exit "$failed"

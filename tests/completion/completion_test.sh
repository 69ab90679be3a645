#!/usr/bin/env bash
# Drives the bash completion of kelvo and kelvo-info as bash does, against the built programs
# and the test bundle, and checks what it offers.
# Usage: completion_test.sh COMPLETION BIN_DIR LV2_PATH plain|bash-completion
# BIN_DIR holds kelvo and kelvo-info. With bash-completion, the package's functions are
# loaded first; without the package the test is skipped (status 77).
set -uo pipefail
completion=$1
bin=$2
export LV2_PATH=$3
mode=$4

if [ "$mode" = bash-completion ]; then
    main=/usr/share/bash-completion/bash_completion
    if [ ! -r "$main" ]; then
        echo "skipped: bash-completion is not installed"
        exit 77
    fi
    # shellcheck source=/dev/null
    source "$main"
    declare -F _filedir >/dev/null || { echo "no _filedir after loading $main"; exit 1; }
else
    unset -f _filedir
fi
# shellcheck source=../../completions/kelvo
source "$completion"

passed=0
failed=0

# What the completion offers for `line`, one candidate a line, sorted. The cursor is at the
# end of the line, or before the text `after`.
offers() {
    local line=$1 after=${2:-}
    COMP_LINE=$line$after
    COMP_POINT=${#line}
    COMPREPLY=()
    _kelvo 2>/dev/null
    [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort
}

# Passes when the completion offers exactly `expected` (lines) for `line`.
expect_offers() {
    local line=$1 expected=$2 after=${3:-} got
    got=$(offers "$line" "$after")
    if [ "$got" = "$expected" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAILED: %q%s\n  expected: %s\n  got:      %s\n' "$line" "${after:+ (cursor before '$after')}" \
            "${expected//$'\n'/ }" "${got//$'\n'/ }"
    fi
}

kelvo=$bin/kelvo
info=$bin/kelvo-info
[ -x "$kelvo" ] && [ -x "$info" ] || { echo "no kelvo and kelvo-info in $bin"; exit 1; }
amp=http://kelvo.test/plugins/amp
all_uris=$("$info" | cut -f1)
case $all_uris in
    *"$amp"*) ;;
    *) echo "kelvo-info does not list $amp with LV2_PATH=$LV2_PATH"; exit 1 ;;
esac
# What bash puts in place of the text after the last colon of each URI.
after_colon() { sed 's/^[^:]*://'; }

cd "$(mktemp -d)" || exit 1
trap 'rm -rf "$PWD"' EXIT
touch "in put.wav" input.flac other.txt
mkdir inputs

# Options, of each program.
expect_offers "$kelvo --n" "--normalize"
expect_offers "$kelvo -" "$(printf '%s\n' -c -h -i -n -o --help --normalize --timing --version \
    --with-latency --tail --format --bits -p --preset --loudness --true-peak --quality |
    LC_ALL=C sort)"
expect_offers "$kelvo -i in.wav -o out.wav $amp -p T" "Twice"
expect_offers "$kelvo -p " "$(printf '%s\n' Ghost Half Needs Twice)" " $amp"
expect_offers "$kelvo --format o" "$(printf '%s\n' ogg opus)"
expect_offers "$kelvo --bits f" "float"
expect_offers "$kelvo --format flac -i in.wav -o out.flac " "$all_uris"
expect_offers "$info -" "$(printf '%s\n' -h --help --json --version | LC_ALL=C sort)"
expect_offers "kelvo-info --j" "--json"

# File names after -i and -o, none after -n.
expect_offers "$kelvo -i in" "$(printf '%s\n' "in put.wav" input.flac inputs)"
expect_offers "$kelvo -i x.wav -o oth" "other.txt"
expect_offers "$kelvo -n " ""

# Plugin URIs from kelvo-info, with bash's split at the colon accounted for.
expect_offers "$kelvo -i in.wav -o out.wav " "$all_uris"
expect_offers "$kelvo -i in.wav -o out.wav http" "$all_uris"
expect_offers "$kelvo -i in.wav -o out.wav http:" "$(after_colon <<<"$all_uris")"
expect_offers "$kelvo -i in.wav -o out.wav ${amp%p}" \
    "$(grep "^${amp%p}" <<<"$all_uris" | after_colon)"
expect_offers "$info http://kelvo.test/plugins/no_" \
    "$(grep '^http://kelvo.test/plugins/no_' <<<"$all_uris" | after_colon)"
expect_offers "$kelvo -i in.wav -o out.wav urn:none" ""

# Control inputs of the plugin on the line, before or after the cursor, quoted or not.
expect_offers "$kelvo -i in.wav -o out.wav $amp -c " "gain:"
expect_offers "$kelvo -i in.wav -o out.wav $amp -c g" "gain:"
expect_offers "$kelvo -i in.wav -o out.wav '$amp' -c " "gain:"
expect_offers "$kelvo -c " "gain:" " -i in.wav -o out.wav $amp"
expect_offers "$kelvo -i in.wav -o out.wav http://kelvo.test/plugins/delay -c " "latency:"
expect_offers "$kelvo -i in.wav -o out.wav http://kelvo.test/plugins/mono_to_stereo -c " ""
expect_offers "$kelvo -i in.wav -o out.wav -c " ""
# In a chain, the plugin nearest before the cursor.
expect_offers "$kelvo -i in.wav -o out.wav $amp -c gain:1 http://kelvo.test/plugins/delay -c " "latency:"
expect_offers "$kelvo -i in.wav -o out.wav $amp -c " "gain:" " http://kelvo.test/plugins/delay"
# The argument of an option is not taken for the plugin, whatever it looks like.
expect_offers "$kelvo -c gain:1 -i urn:in $amp -c " "gain:"

echo "$mode: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Checks the manual pages against the tool, so that they cannot fall behind it: every command
# `vantles --help` lists has a subsection in vantles.1 with a tagged paragraph for each long
# option `vantles help COMMAND` prints, and every long option of the overall usage appears in
# the page. Both pages must render without warnings (groff, else mandoc; skipped without
# either). Usage: man_pages_test.sh VANTLES vantles.1 vantlesd.8
set -u
tool=$1
page1=$2
page8=$3
fail=0

# The page's source with roff minus signs as plain '-' and font changes removed.
text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$page1")

usage=$("$tool" --help) || { echo "FAIL: vantles --help exited with $?"; exit 1; }
commands=$(printf '%s\n' "$usage" | awk '/^Commands:/ { on = 1; next } on && /^$/ { exit } on { print $1 }')
if [ -z "$commands" ]; then
    echo "FAIL: no command list in vantles --help"
    exit 1
fi
for command in $commands; do
    # From ".SS vantles COMMAND ..." up to the next heading, without the heading itself.
    section=$(printf '%s\n' "$text" | awk -v c="$command" '
        /^\.S[HS] / { on = ($1 == ".SS" && $2 == "vantles" && $3 == c); found = found || on; next }
        on { print }
        END { if (!found) exit 1 }') || {
        echo "FAIL: vantles.1 has no subsection '.SS vantles $command'"
        fail=1
        continue
    }
    help=$("$tool" help "$command") || { echo "FAIL: vantles help $command exited with $?"; fail=1; }
    for option in $(printf '%s\n' "$help" | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        if ! printf '%s\n' "$section" | grep -Eq -- "^\.B[IR]* $option( |$)"; then
            echo "FAIL: vantles.1 does not describe $option under 'vantles $command'"
            fail=1
        fi
    done
done
for option in $(printf '%s\n' "$usage" | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    if ! printf '%s\n' "$text" | grep -Eq -- "$option([^a-z-]|$)"; then
        echo "FAIL: vantles.1 never names $option"
        fail=1
    fi
done

for page in "$page1" "$page8"; do
    if command -v groff >/dev/null; then
        warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    elif command -v mandoc >/dev/null; then
        warnings=$(mandoc -T lint -W warning "$page" 2>&1)
    else
        echo "note: neither groff nor mandoc installed; $page not rendered"
        continue
    fi
    if [ -n "$warnings" ]; then
        echo "FAIL: $page renders with warnings:"
        printf '%s\n' "$warnings"
        fail=1
    fi
done
[ "$fail" = 0 ] && echo "manual pages match vantles --help"
exit "$fail"

#!/bin/sh
# Checks the service units in DIR with systemd-analyze verify: syntax, known settings, the
# program ExecStart= names, and the socket's reference to its service. Exits 77 (skipped) where
# systemd-analyze is missing. Usage: check_units.sh DIR
set -u
dir=${1:?unit directory}
if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "check_units: no systemd-analyze, skipped"
    exit 77
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
systemd-analyze verify --man=no "$dir/vantlesd.socket" "$dir/vantlesd.service" >"$out" 2>&1
rc=$?
cat "$out"
# verify also reports problems of other units it loads (the default targets, say) without
# failing; only what concerns these two units counts, and every such line is a failure.
if [ $rc -ne 0 ] || grep -E 'vantlesd\.(socket|service)' "$out" >/dev/null; then
    echo "check_units: FAILED"
    exit 1
fi
echo "check_units: ok"

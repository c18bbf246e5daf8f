#!/usr/bin/env bash
# The attack suite at full size: one unprivileged user (uid 65534), then colluding users of
# their own uids, against a real daemon, and what two victims, root and another unprivileged
# user (uid 65533, holding no client of its own), get meanwhile. It runs the
# FairShare cases of the security tests (tests/security/fair_share_test.cpp) with
# VANTLES_ATTACK_SCALE=full and prints one table from the "ATTACK" lines they print:
#
#   connections   3 processes holding 7,000 silent connections each, reopening whatever the
#                 daemon closes (size: connections)
#   client-slots  one process registering clients until refused (size: the clients it got)
#   colluders     processes of as many uids (65400 on), one after another registering clients
#                 until refused and holding them (size: the uids; 8, then 32)
#   notices       bursts of directories made, a file made and removed in each, and removed, in a
#                 directory anyone may write in (size: cycles per burst, one burst every 0.1 s)
#   replay        clients replaying a logged history that never read (size: clients)
#   long-paths    clients watching 4,096 paths of 1,000 bytes each that share all but their last
#                 bytes with the victims' events (size: clients)
#   syncs         3 processes asking for syncs on 64 connections each without end, 8 on the way
#                 on each (size: syncs on the way at once)
#   private-names root's files in two mode 0700 directories inside the attacker's own directory,
#                 one then moved away, one removed, while the attacker watches it live and then
#                 replays it (size: files in each; no name may reach it)
#   full-disk     the attacker fills a small logged /var, then makes names there while it is full
#                 (size: names; a replay across it must carry a dropped notice or a new uuid)
#
# For each attack and victim: the longest query (connect and current event id, volume uuid, sync),
# the longest registration or unregistration of a stream, and the longest time from a change to
# its event, during the attack and after it ("-": that step failed; see the run's log). The
# attack itself may fail the case (a bound broken, an attack that could not be carried out);
# the cases' results follow the table, and the script exits with the suite's status.
#
# Usage: bench/attacks.sh [--build DIR] [--log FILE]   (FILE keeps the whole output)
# Needs root (each case runs its daemon in a private mount namespace on scratch file systems).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build
log=""
while (($#)); do
    case $1 in
        --build) build=$(realpath "${2:?}"); shift 2 ;;
        --log) log=$(realpath "${2:?}"); shift 2 ;;
        *) echo "usage: $0 [--build DIR] [--log FILE]" >&2; exit 2 ;;
    esac
done
tests=$build/tests/security/security_tests
[[ -x $tests ]] || { echo "attacks: $tests not built" >&2; exit 1; }
((EUID == 0)) || { echo "attacks: needs root (mount namespaces, other users)" >&2; exit 1; }

out=${log:-$(mktemp /tmp/vantles-attacks.XXXXXX)}
[[ -n $log ]] || trap 'rm -f "$out"' EXIT

echo "attacks: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
start=$(date +%s)
status=0
VANTLES_ATTACK_SCALE=full "$tests" --gtest_filter='FairShare.*' >"$out" 2>&1 || status=$?
echo "attacks: $(($(date +%s) - start)) s, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"

# One row per attack, size and victim: the largest figure of each kind over its checks in a phase.
awk '
$1 == "ATTACK" {
    name = $2
    for (i = 3; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
    key = name SUBSEP f["size"] SUBSEP f["victim"]
    if (!(key in seen)) { seen[key] = 1; order[++rows] = key }
    for (k = 1; k <= 3; k++) {
        m = (k == 1 ? "query_ms" : k == 2 ? "stream_ms" : "event_ms")
        cell = key SUBSEP f["phase"] SUBSEP m
        v = f[m] + 0
        if (!(cell in worst) || (worst[cell] >= 0 && (v < 0 || v > worst[cell]))) worst[cell] = v
    }
}
function show(key, phase, m,    v) {
    v = worst[key SUBSEP phase SUBSEP m]
    return (key SUBSEP phase SUBSEP m) in worst ? (v < 0 ? "-" : v) : "."
}
END {
    printf "%-13s %7s %7s | %-27s | %-27s\n", "", "", "", "during (max ms)", "after (max ms)"
    printf "%-13s %7s %7s | %8s %8s %9s | %8s %8s %9s\n", "attack", "size", "victim",
           "query", "stream", "event", "query", "stream", "event"
    for (r = 1; r <= rows; r++) {
        split(order[r], p, SUBSEP)
        printf "%-13s %7s %7s | %8s %8s %9s | %8s %8s %9s\n", p[1], p[2],
               (p[3] == 0 ? "root" : p[3]),
               show(order[r], "during", "query_ms"), show(order[r], "during", "stream_ms"),
               show(order[r], "during", "event_ms"), show(order[r], "after", "query_ms"),
               show(order[r], "after", "stream_ms"), show(order[r], "after", "event_ms")
    }
}' "$out"
grep -E '^\[ +(OK|FAILED) +\] FairShare\.' "$out" | awk '!seen[$0]++' || true
if ((status != 0)); then
    echo "attacks: the suite failed (status $status)${log:+; see $log}"
    grep -E -A3 ': Failure$' "$out" | head -40 || true
fi
exit "$status"

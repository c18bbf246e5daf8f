#!/usr/bin/env bash
# Builds vantlesd and runs every test. Usage: scripts/test.sh [--sanitize address|thread]
# Tests that start daemons need root: another user runs it through sudo when there is one, or
# the black-box cases skip themselves.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $(id -u) -ne 0 ]] && command -v sudo >/dev/null; then
    exec sudo "$0" "$@"
fi

dir=$(bash scripts/build.sh "$@" | tail -n 1)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
# The sanitizer runs leave out what they add nothing to: the package (built and installed the
# same way whatever the compiler checks), and under TSan the single-threaded fuzz replays, the
# tool's own checks, and the three-server NATS cluster case (three brokers, a daemon and the
# publisher under TSan's slowdown on a small machine time out in the brokers' own elections;
# the publisher's threads are checked by the other publish cases).
exclude=""
case "${2:-}" in
    address) exclude='^package\.' ;;
    thread) exclude='^(package|fuzz|tools)\.|^publish\.Publish\.Cluster' ;;
esac
ctest --test-dir "$dir" --output-on-failure -j "$(( $(nproc) * 2 ))" --timeout 300 \
    ${exclude:+-E "$exclude"}

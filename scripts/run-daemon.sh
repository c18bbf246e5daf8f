#!/usr/bin/env bash
# Builds vantlesd and its tool and runs the daemon as root (through sudo when started by
# another user).
#
#   scripts/run-daemon.sh                  the daemon in the foreground, logging to standard error
#   scripts/run-daemon.sh --watch PATH...  the daemon in the background (its log in a file under
#                                          /tmp), and `vantles watch --files PATH...` in the
#                                          foreground; Ctrl-C ends the watch, then the daemon
#
# The service socket is /run/vantlesd/vantlesd.sock unless VANTLESD_SOCKET says otherwise. The
# daemon watches this machine's file systems: run it only where that is what you want.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    echo "usage: $0 [--watch PATH...]" >&2
    exit 2
}

watch_paths=()
if [[ ${1:-} == --watch ]]; then
    shift
    [[ $# -gt 0 ]] || usage
    watch_paths=("$@")
elif [[ $# -gt 0 ]]; then
    usage
fi

if [[ $(id -u) -ne 0 ]]; then
    if command -v sudo >/dev/null; then
        exec sudo "$0" "$@"
    fi
    echo "run-daemon: vantlesd must run as root" >&2
    exit 1
fi
# Only what runs: the tests and benchmarks wait for scripts/test.sh.
dir=$(bash scripts/build.sh vantlesd vantles_tool | tail -n 1)
if [[ ${#watch_paths[@]} -eq 0 ]]; then
    exec "$dir/server/vantlesd" -d
fi

vantles="$dir/tools/vantles"
if "$vantles" id >/dev/null 2>&1; then
    echo "run-daemon: a daemon already answers on the socket; watching it instead" >&2
    exec "$vantles" watch --files "${watch_paths[@]}"
fi

log=$(mktemp /tmp/vantlesd.XXXXXX.log)
"$dir/server/vantlesd" -d 2>"$log" &
daemon=$!
stop_daemon() {
    kill -TERM "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
    echo "run-daemon: vantlesd stopped; its log is $log" >&2
}
trap stop_daemon EXIT

# The first answer may take a while: the daemon reads its volumes' histories first.
deadline=$((SECONDS + 60))
until "$vantles" id >/dev/null 2>&1; do
    if ! kill -0 "$daemon" 2>/dev/null; then
        echo "run-daemon: vantlesd exited at start-up:" >&2
        tail -n 20 "$log" >&2
        exit 1
    fi
    if [[ $SECONDS -ge $deadline ]]; then
        echo "run-daemon: vantlesd does not answer; its log is $log" >&2
        exit 1
    fi
    sleep 0.2
done
echo "run-daemon: vantlesd (pid $daemon) is running, its log in $log; Ctrl-C ends the watch" >&2
"$vantles" watch --files "${watch_paths[@]}"

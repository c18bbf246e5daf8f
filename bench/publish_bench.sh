#!/usr/bin/env bash
# `vantles publish` into NATS JetStream: the latency from a change to its message at a
# subscriber of the events subject (target: median at most 5 ms), and the events per second
# from the first change of a storm to a stored (acknowledged) message for each (target: at least
# 50,000, none lost, none twice), with the publisher's CPU time and memory.
#
#   sudo bench/publish_bench.sh [--build DIR] [--count N] [--rate N] [--writers N]
#                               [--samples N] [--latency SECONDS] [--max-pending N]
#
# --count files in each storm (default 300000), made by --writers threads (default 2) at --rate
# a second in all (default 0: as fast as they can); --samples single changes for the latency
# (default 500); --latency and --max-pending: the publisher's (default 0.001 and its own). The
# storms: "live", the publisher keeping up as the changes are made; "backlog", the changes
# made while the publisher is stopped (SIGSTOP), timed from when it goes on (SIGCONT).
#
# Needs root, nats-server and a build with vantlesd, vantles, vantles-publish and publish_probe
# (cmake --build build --target vantlesd vantles_tool vantles_publish publish_probe). In a
# private network namespace (only its loopback, brought up here) and a private mount namespace:
# the daemon, the publisher and the probe run chrooted in an ext4 volume in RAM (see
# bench/scratch.sh), nats-server beside them with its store on the staging tmpfs. Prints the
# load (uptime) before and after.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build
count=300000 rate=0 writers=2 samples=500 latency=0.001 pending=()
args=("$@")
while (($#)); do
    case $1 in
        --build) build=$(realpath "${2:?}"); shift 2 ;;
        --count) count=${2:?}; shift 2 ;;
        --rate) rate=${2:?}; shift 2 ;;
        --writers) writers=${2:?}; shift 2 ;;
        --samples) samples=${2:?}; shift 2 ;;
        --latency) latency=${2:?}; shift 2 ;;
        --max-pending) pending=(--max-pending "${2:?}"); shift 2 ;;
        *) echo "usage: $0 [--build DIR] [--count N] [--rate N] [--writers N] [--samples N]" \
                "[--latency S] [--max-pending N]" >&2
           exit 2 ;;
    esac
done

scratch_name=publish-bench
# shellcheck source=bench/scratch.sh
source "$repo/bench/scratch.sh"
nats=$(command -v nats-server || echo /usr/sbin/nats-server)
programs=("$build/server/vantlesd" "$build/tools/vantles" "$build/tools/vantles-publish"
          "$build/bench/publish_probe")

if ! scratch_inside; then
    [[ $(id -u) -eq 0 ]] || { echo "$scratch_name: needs root" >&2; exit 1; }
    [[ -x $nats ]] || { echo "$scratch_name: needs nats-server (apt-get install nats-server)" >&2; exit 1; }
    for p in "${programs[@]}"; do
        [[ -x $p ]] || { echo "$scratch_name: $p is not built" >&2; exit 1; }
    done
    VANTLES_SCRATCH_INSIDE=1 exec unshare --mount --net --propagation private bash "$0" "${args[@]}"
fi

ip link set lo up
scratch_dir
cleanup() {
    scratch_stop_jobs
    scratch_unmount
}
trap cleanup EXIT
scratch_volume 4096 $((2 * count + 100000))  # inodes: both storms and the history
scratch_install "${programs[@]}"
mkdir "$root/w"

"$nats" -js -a 127.0.0.1 -p 4222 -sd "$scratch/nats" >"$scratch/nats.log" 2>&1 &
until (: >/dev/tcp/127.0.0.1/4222) 2>/dev/null; do sleep 0.05; done
start_vantlesd_daemon
vt_wait
chroot "$root" /bin/vantles publish --socket "$vt_socket" --subject vantles.bench --host bench \
    --files --latency "$latency" "${pending[@]}" /w 2>"$scratch/publish.err" &
publisher=$!

say "load before: $(uptime)"
chroot "$root" /bin/publish_probe nats://127.0.0.1:4222 vantles.bench.events VANTLES /w \
    "$publisher" "$count" "$rate" "$writers" "$samples" || say "the probe failed"
say "load after: $(uptime)"
if [[ -s $scratch/publish.err ]]; then
    say "the publisher's standard error:"
    head -20 "$scratch/publish.err" >&2
fi
grep -E 'dropped|overflow' "$scratch/vantlesd.log" | head -5 >&2 || true

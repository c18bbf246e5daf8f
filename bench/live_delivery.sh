#!/usr/bin/env bash
# Live-delivery benchmarks: the real daemon as a child of a benchmark program, on a private
# socket, delivering to clients of the client library's stream API. One command per benchmark:
#
#   bench/live_delivery.sh throughput [options]  paced record streams, one client on "/"
#   bench/live_delivery.sh burst [options]       1,000,000 records at once, one client on "/"
#   bench/live_delivery.sh fanout [options]      100 prefix clients plus 10 on "/"
#   bench/live_delivery.sh latency [options]     real file changes (fanotify) against inotify
#   bench/live_delivery.sh history-size [options]    bytes of history per event: a real tree of
#                                                    paths recreated under the daemon
#   bench/live_delivery.sh history-replay [options]  a client replaying 1,000,000 logged events
#   (the Python client library: sudo python3 bench/python_stream.py, its storm and latency
#   beside the C++ client's)
#
# History benchmarks (bench/history_bench.cpp; the throughput and burst runs also report the
# history each run left, and whether the disk logger lost events):
#   history-size    takes the paths of real trees of this machine (--tree, read only: only
#                   their file lists are used; default /usr/include and /usr/share/doc) and
#                   recreates them as empty files and directories inside the scratch root while
#                   the daemon runs on its real fanotify source, plus rounds of appends to a
#                   quarter of the files; stops the daemon with SIGTERM (its last flush) and sums
#                   the log files in "/.vantlesd". Figures: events received by a client on "/",
#                   ids assigned, records written, bytes, bytes per event (target <= 12) and
#                   per record.
#   history-replay  writes a history of 1,000,000 records (paths from the same name list,
#                   ascending ids, 5000 per log file) and a fresh uuid file into "/.vantlesd"
#                   before the daemon starts, then times a client on "/" (file level,
#                   since_when 0) from registration to its history-done event. Figures: events,
#                   seconds, events/s (target >= 500,000), the daemon's CPU.
#   Disk logger under the storms: bench/live_delivery.sh throughput --rates 300000 and
#   bench/live_delivery.sh burst; see each run's "history:" line.
#
# Options after the mode go to the program (see the top of bench/live_stream_bench.cpp,
# bench/live_latency_bench.cpp and bench/history_bench.cpp). Before the mode: --build DIR
# (default build/), --daemon PATH (another daemon binary, to compare builds), --perf FILE
# (records the run, daemon included, with perf record -g into FILE), --tree DIR (a name source
# of the history benchmarks; may be repeated).
#
# Needs root. In a private mount namespace (nothing reaches the machine's mounts; only a
# directory under /tmp is used, and removed again) it makes a tmpfs root holding copies of the
# daemon and the benchmark program with their libraries, /proc and /dev/null, and for latency
# an ext4 volume on a loop device at /mnt/lat. Everything runs chrooted there, so the daemon's
# root volume is that tmpfs (it creates "/.vantlesd" there, never on the machine's "/"), and
# its fanotify source sees only the tmpfs and the scratch volume, not the machine's changes.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build
daemon=""
perf_out=""
trees=()
while (($#)); do
    case $1 in
        --build) build=$(realpath "${2:?}"); shift 2 ;;
        --daemon) daemon=$(realpath "${2:?}"); shift 2 ;;
        --perf) perf_out=$(realpath "${2:?}"); shift 2 ;;
        --tree) trees+=("$(realpath "${2:?}")"); shift 2 ;;
        *) break ;;
    esac
done
mode=${1:-}
case $mode in
    throughput | burst | fanout) program=live_stream_bench ;;
    latency) program=live_latency_bench ;;
    history-size | history-replay) program=history_bench ;;
    *) echo "usage: $0 [--build DIR] [--daemon PATH] [--perf FILE] [--tree DIR]..." \
            "throughput|burst|fanout|latency|history-size|history-replay [options]" >&2
       exit 2 ;;
esac
shift

if [[ ${VANTLES_LIVE_INSIDE:-} != 1 ]]; then
    if ((EUID != 0)); then
        echo "live_delivery: needs root (mount namespace, chroot, loop device)" >&2
        exit 1
    fi
    pre=(--build "$build")
    [[ -n $daemon ]] && pre+=(--daemon "$daemon")
    [[ -n $perf_out ]] && pre+=(--perf "$perf_out")
    for t in "${trees[@]}"; do pre+=(--tree "$t"); done
    VANTLES_LIVE_INSIDE=1 exec unshare --mount --propagation private bash "$0" "${pre[@]}" \
        "$mode" "$@"
fi

programs=("${daemon:-$build/server/vantlesd}" "$build/bench/$program")
for p in "${programs[@]}"; do
    [[ -x $p ]] || { echo "live_delivery: $p not built" >&2; exit 1; }
done

scratch=$(mktemp -d /tmp/vantles-live.XXXXXX)
root=$scratch/root
cleanup() {
    umount "$root/mnt/lat" 2>/dev/null || true  # the loop device clears itself
    umount "$root/proc" 2>/dev/null || true
    umount "$root" 2>/dev/null || true
    umount "$scratch" 2>/dev/null || true
    rmdir "$scratch" 2>/dev/null || true
}
trap cleanup EXIT

mount -t tmpfs -o size=1g,mode=0700 live-staging "$scratch"
mkdir "$root"
mount -t tmpfs -o size=2g,mode=0755 live-root "$root"
mkdir -p "$root"/{bin,proc,tmp,dev,mnt/lat}
chmod 1777 "$root/tmp"
mknod -m 666 "$root/dev/null" c 1 3
mount -t proc proc "$root/proc"

# Each program and the libraries it loads, at their own paths inside the root.
for p in "${programs[@]}"; do
    cp "$p" "$root/bin/$(basename "$p")"
    ldd "$p" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' |
        while read -r lib; do
            mkdir -p "$root$(dirname "$lib")"
            [[ -e $root$lib ]] || cp -L "$lib" "$root$lib"
        done
done

args=("$@" --daemon "/bin/$(basename "${programs[0]}")")
case $mode in
    latency) ;;
    history-*) args=("${mode#history-}" "${args[@]}") ;;
    *) args=("$mode" "${args[@]}") ;;
esac
if [[ $mode == history-* ]]; then
    # The name list, parents before children, directories with a trailing "/"; written before
    # the daemon starts, so it is no part of the history measured.
    ((${#trees[@]})) || trees=(/usr/include /usr/share/doc)
    find "${trees[@]}" -mindepth 1 \( -type d -printf '%p/\n' -o -printf '%p\n' \) |
        sed 's|^/||' >"$root/tmp/history-names"
fi
if [[ $mode == latency ]]; then
    truncate -s 256m "$scratch/lat.img"
    mkfs.ext4 -q -F "$scratch/lat.img"
    mount -o loop "$scratch/lat.img" "$root/mnt/lat"
    [[ " $* " == *" --dir "* ]] || args+=(--dir /tmp/lat --dir /mnt/lat)
fi

echo "live_delivery $mode: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
if [[ -n $perf_out ]]; then
    perf record -q -g -o "$perf_out" -- chroot "$root" "/bin/$program" "${args[@]}"
else
    chroot "$root" "/bin/$program" "${args[@]}"
fi

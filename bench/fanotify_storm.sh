#!/usr/bin/env bash
# The fanotify storm: the CPU our kernel event intake spends on a storm of file changes,
# against the least a fanotify reader can spend on the same events, in the same run.
#
# In a private mount namespace (nothing reaches the machine's mounts; only a directory under
# /tmp is used, and removed again) it makes a tmpfs root holding copies of the programs and
# their libraries, and an ext4 volume on a loop device mounted at /mnt/storm inside it. The
# programs run chrooted there, so that our device, which watches every mounted file system it
# can see, sees only that root and the volume. fanotify_count_reader (marking the volume) and
# our side run together while storm_driver makes FILES files over DIRS directories and
# removes them; once both have gone idle they are stopped and one table is printed.
#
# Our side is intake_bench (device, producer, consumer, decoder, event table in one process),
# or with --daemon PATH the real daemon started with -d and VANTLESD_SOCKET on a scratch socket,
# whose CPU time over the storm is read from /proc/PID/stat (it reports no event counts), and
# its resident memory before the storm, at its peak and after.
#
# Usage: bench/fanotify_storm.sh [--build DIR] [--daemon PATH] [--files N] [--dirs N]
#        [--perf FILE]   (records our side with perf record -g over the storm into FILE)
# Needs root. Targets: CPU ours/reader <= 1.5, no dropped-events records.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build
daemon=""
perf_out=""
files=100000
dirs=1000
while (($#)); do
    case $1 in
        --build) build=$(realpath "${2:?}"); shift 2 ;;
        --daemon) daemon=$(realpath "${2:?}"); shift 2 ;;
        --files) files=${2:?}; shift 2 ;;
        --dirs) dirs=${2:?}; shift 2 ;;
        --perf) perf_out=$(realpath "${2:?}"); shift 2 ;;
        *) echo "usage: $0 [--build DIR] [--daemon PATH] [--files N] [--dirs N] [--perf FILE]" >&2
           exit 2 ;;
    esac
done

if [[ ${VANTLES_STORM_INSIDE:-} != 1 ]]; then
    if ((EUID != 0)); then
        echo "fanotify_storm: needs root (fanotify, mounts, loop devices)" >&2
        exit 1
    fi
    args=(--build "$build" --files "$files" --dirs "$dirs")
    [[ -n $daemon ]] && args+=(--daemon "$daemon")
    [[ -n $perf_out ]] && args+=(--perf "$perf_out")
    VANTLES_STORM_INSIDE=1 exec unshare --mount --propagation private bash "$0" "${args[@]}"
fi

programs=("$build/bench/fanotify_count_reader" "$build/bench/storm_driver")
if [[ -n $daemon ]]; then programs+=("$daemon"); else programs+=("$build/bench/intake_bench"); fi
for p in "${programs[@]}"; do
    [[ -x $p ]] || { echo "fanotify_storm: $p not built" >&2; exit 1; }
done

scratch=$(mktemp -d /tmp/vantles-storm.XXXXXX)
root=$scratch/root
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    umount "$root/mnt/storm" 2>/dev/null || true  # the loop device clears itself
    umount "$root/proc" 2>/dev/null || true
    umount "$root" 2>/dev/null || true
    umount "$scratch" 2>/dev/null || true
    rmdir "$scratch" 2>/dev/null || true
}
trap cleanup EXIT

mount -t tmpfs -o size=2g,mode=0700 storm-staging "$scratch"
mkdir "$root"
mount -t tmpfs -o size=512m,mode=0755 storm-root "$root"
mkdir -p "$root"/{bin,proc,tmp,mnt/storm}
chmod 1777 "$root/tmp"
mount -t proc proc "$root/proc"

# Each program and the libraries it loads, at their own paths inside the root.
for p in "${programs[@]}"; do
    cp "$p" "$root/bin/"
    ldd "$p" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' |
        while read -r lib; do
            mkdir -p "$root$(dirname "$lib")"
            [[ -e $root$lib ]] || cp -L "$lib" "$root$lib"
        done
done

truncate -s 2g "$scratch/storm.img"
mkfs.ext4 -q -F -N 262144 "$scratch/storm.img"
mount -o loop "$scratch/storm.img" "$root/mnt/storm"

clk_tck=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
mib_of() { awk -v k="$2:" '$1 == k {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }

wait_ready() {  # file pid
    for _ in $(seq 200); do
        grep -q '^ready$' "$1" 2>/dev/null && return 0
        kill -0 "$2" 2>/dev/null || break
        sleep 0.05
    done
    echo "fanotify_storm: $(basename "$1" .out) did not start:" >&2
    cat "${1%.out}.err" >&2
    exit 1
}

# Both have drained the storm when neither has used CPU for a second (30 s at most).
wait_idle() {
    local before after
    before="$(cpu_ticks "$1") $(cpu_ticks "$2")"
    for _ in $(seq 30); do
        sleep 1
        after="$(cpu_ticks "$1") $(cpu_ticks "$2")"
        [[ $after == "$before" ]] && return 0
        before=$after
    done
}

chroot "$root" /bin/fanotify_count_reader /mnt/storm >"$scratch/reader.out" 2>"$scratch/reader.err" &
reader_pid=$!
pids+=("$reader_pid")
wait_ready "$scratch/reader.out" "$reader_pid"

if [[ -n $daemon ]]; then
    VANTLESD_SOCKET=/tmp/vantlesd.sock chroot "$root" "/bin/$(basename "$daemon")" -d \
        >"$scratch/ours.out" 2>"$scratch/ours.err" &
    ours_pid=$!
    pids+=("$ours_pid")
    for _ in $(seq 200); do
        [[ -S $root/tmp/vantlesd.sock ]] && break
        kill -0 "$ours_pid" 2>/dev/null || { cat "$scratch/ours.err" >&2; exit 1; }
        sleep 0.05
    done
    sleep 1  # the event thread's start-up after the socket is up
    ours_start=$(cpu_ticks "$ours_pid")
    ours_rss_start=$(mib_of "$ours_pid" VmRSS)
else
    chroot "$root" /bin/intake_bench >"$scratch/ours.out" 2>"$scratch/ours.err" &
    ours_pid=$!
    pids+=("$ours_pid")
    wait_ready "$scratch/ours.out" "$ours_pid"
fi

if [[ -n $perf_out ]]; then
    perf record -q -g -p "$ours_pid" -o "$perf_out" 2>/dev/null &
    perf_pid=$!
    pids+=("$perf_pid")
fi
chroot "$root" /bin/storm_driver /mnt/storm/storm "$files" "$dirs" >"$scratch/driver.out"
wait_idle "$reader_pid" "$ours_pid"
if [[ -n $perf_out ]]; then
    kill -INT "$perf_pid"
    wait "$perf_pid" || true
fi
if [[ -n $daemon ]] && ! kill -0 "$ours_pid" 2>/dev/null; then
    echo "fanotify_storm: the daemon ended during the storm:" >&2
    cat "$scratch/ours.err" >&2
    exit 1
fi
if [[ -n $daemon ]]; then
    ours_cpu=$(awk -v a="$ours_start" -v b="$(cpu_ticks "$ours_pid")" -v hz="$clk_tck" \
        'BEGIN {printf "%.3f", (b - a) / hz}')
    ours_memory="$ours_rss_start MiB before, $(mib_of "$ours_pid" VmHWM) MiB at the peak,"
    ours_memory+=" $(mib_of "$ours_pid" VmRSS) MiB after"
fi
kill -TERM "$reader_pid" "$ours_pid"
wait "$reader_pid" || true
wait "$ours_pid" || true
pids=()

figure() { awk -v k="$2" '$1 == k {print $2}' "$1"; }
reader_events=$(figure "$scratch/reader.out" reader_events)
reader_cpu=$(figure "$scratch/reader.out" reader_cpu_seconds)
reader_drops=$(figure "$scratch/reader.out" reader_overflows)
reader_cs=$(figure "$scratch/reader.out" reader_context_switches)
reader_reads=$(figure "$scratch/reader.out" reader_reads)
if [[ -n $daemon ]]; then
    ours_name="vantlesd"
    ours_events="-" ours_drops="-" ours_cs="-" ours_reads="-"
else
    ours_name="intake_bench"
    ours_events=$(figure "$scratch/ours.out" intake_events)
    ours_cpu=$(figure "$scratch/ours.out" intake_cpu_seconds)
    ours_drops=$(figure "$scratch/ours.out" intake_dropped)
    ours_cs=$(figure "$scratch/ours.out" intake_context_switches)
    ours_reads=$(figure "$scratch/ours.out" intake_reads)
fi
if [[ -z $reader_cpu || -z ${ours_cpu:-} ]]; then
    echo "fanotify_storm: missing results" >&2
    cat "$scratch"/*.err >&2
    exit 1
fi
ratio=$(awk -v a="$ours_cpu" -v b="$reader_cpu" 'BEGIN {if (b > 0) printf "%.2f", a / b; else printf "-"}')

echo "storm: $files files created then removed over $dirs directories on ext4" \
    "($(figure "$scratch/driver.out" storm_create_seconds) s + $(figure "$scratch/driver.out" storm_remove_seconds) s)"
printf '%-22s %10s %8s %8s %10s %8s\n' side events cpu_s dropped ctx_sw reads
printf '%-22s %10s %8s %8s %10s %8s\n' fanotify_count_reader "$reader_events" "$reader_cpu" \
    "$reader_drops" "$reader_cs" "$reader_reads"
printf '%-22s %10s %8s %8s %10s %8s\n' "$ours_name" "$ours_events" "$ours_cpu" "$ours_drops" \
    "$ours_cs" "$ours_reads"
echo "cpu ratio ours/reader: $ratio (target <= 1.5); dropped-events records: $ours_drops (target 0)"
if [[ -n $daemon ]]; then
    # The consumer's warning that the buffer rules kept it stepping without a look for work.
    echo "daemon consumer warnings: $(grep -c 'spinning too much' "$scratch/ours.err" || true) (target 0)"
    echo "daemon memory (RSS): $ours_memory"
fi

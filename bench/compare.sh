#!/usr/bin/env bash
# vantlesd against inotifywait, fswatch and watchman: the same workloads on the same tree,
# one watcher at a time, and one markdown table of what each did.
#
#   cmake --build build --target vantlesd vantles_tool compare_tool compare_service
#   sudo bench/compare.sh [options]           full scale: about 4 minutes
#   sudo bench/compare.sh --quick             about a minute
#
# Workloads, on a tree of DIRS directories and FILES empty files (default 20,000 and 100,000):
#   set-up    the watcher starts on the tree; the time until it reports a probe change made
#             at the tree's top every 20 ms (so: until it is ready to report changes), its
#             resident memory then (watchman: server and subscribing client; vantlesd: daemon
#             and client), its CPU for the set-up and the kernel watches or marks it holds
#   storm     STORM empty files created round-robin over the tree's directories, then all
#             removed (default 100,000 each way); the time from the storm's end to the last
#             event reported, how many distinct paths were reported created and removed, the
#             records delivered, records carrying both (merged), overflow or rescan notices,
#             the watcher's CPU (utime + stime from /proc) over the storm and its peak memory
#   latency   SAMPLES new files (default 100) made INTERVAL_MS apart (default 250) in
#             scattered directories; the time from each change to its report, median and 95th
#             percentile
#   restart   RESTART files (default 1,000) made while the watcher is stopped, and what it can
#             tell afterwards. A: the consumer stopped while the watcher kept running (watchman
#             `since` with the clock from before; vantlesd `vantles history --since ID`).
#             B: the watcher itself restarted (inotifywait and fswatch start afresh; watchman
#             restarts its server with its state file and is asked `since` the old clock;
#             vantlesd restarts its daemon and is asked for its history). C (vantlesd only):
#             the daemon restarted under a service manager that keeps its stored kernel queue.
#
# Each watcher's output is read through `compare_tool stamp`, which stamps every line with the
# time it was read; the counts and latencies come from those stamped files. Watcher settings:
# inotifywait -m -r -e create,delete,modify,attrib,move; fswatch -m inotify_monitor -r -x
# -l 0.1 (its lowest latency) with the change events only; watchman 4.x subscription with the
# default settle (20 ms); vantles watch --files --json --no-defer (latency 0.1 s).
#
# Options:
#   --dirs N --files N --storm N --samples N --interval-ms N --restart N   the sizes above
#   --restart-pause S  seconds a stopped watcher stays down after the restart changes (default
#                      0; vantlesd keeps its history over a short pause, see the report)
#   --quick            2,000 directories, 10,000 files, a storm of 10,000, 20 samples 200 ms
#                      apart (still twice vantlesd's latency, so each change starts a quiet
#                      spell), 200 restart changes, and 2 s instead of 5 s of silence taken as
#                      the end of a watcher's output: about a minute in all
#   --queue N          sets both kernel queue limits (fs.inotify.max_queued_events and
#                      fs.fanotify.max_queued_events) for the run; default: as they are. These
#                      are machine-wide: every inotify or fanotify group made meanwhile, by any
#                      program, gets the raised limit
#   --tools LIST       comma-separated subset of inotifywait,fswatch,watchman,vantlesd
#   --build DIR        the build tree (default build/; needs server/vantlesd, tools/vantles,
#                      bench/compare_tool and bench/compare_service)
#   --out FILE         also writes the report to FILE
#   --keep DIR         keeps every watcher's stamped output, the changes and the logs in DIR
#   --perf FILE        records vantlesd's daemon over the storm with perf record -g into FILE
#
# Needs root. Installs the peers from Debian's packages when missing (apt-get install -y
# inotify-tools fswatch watchman). Everything runs in a private mount namespace: a tmpfs under
# /tmp holds an ext4 image on a loop device, which is both the tree's volume and the root of a
# chroot for the daemon (so that its history goes to that volume and its fanotify marks see
# nothing of the machine). Raised sysctls are restored, and every process started is stopped,
# also when the run fails.
set -euo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build
dirs=20000
files=100000
storm=100000
samples=100
interval_ms=250
restart_changes=1000
restart_pause=0
quiet=5
queue=""
tools="inotifywait,fswatch,watchman,vantlesd"
out_file=""
keep_dir=""
perf_out=""
args=("$@")
usage() {
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}
while (($#)); do
    case $1 in
        --dirs) dirs=${2:?}; shift 2 ;;
        --files) files=${2:?}; shift 2 ;;
        --storm) storm=${2:?}; shift 2 ;;
        --samples) samples=${2:?}; shift 2 ;;
        --interval-ms) interval_ms=${2:?}; shift 2 ;;
        --restart) restart_changes=${2:?}; shift 2 ;;
        --restart-pause) restart_pause=${2:?}; shift 2 ;;
        --quick)
            dirs=2000 files=10000 storm=10000 samples=20 interval_ms=200 restart_changes=200
            quiet=2
            shift ;;
        --queue) queue=${2:?}; shift 2 ;;
        --tools) tools=${2:?}; shift 2 ;;
        --build) build=$(realpath "${2:?}"); shift 2 ;;
        --out) out_file=$(realpath -m "${2:?}"); shift 2 ;;
        --keep) keep_dir=$(realpath -m "${2:?}"); shift 2 ;;
        --perf) perf_out=$(realpath -m "${2:?}"); shift 2 ;;
        *) usage ;;
    esac
done
for n in "$dirs" "$files" "$storm" "$samples" "$interval_ms" "$restart_changes" "$restart_pause" \
    ${queue:+"$queue"}; do
    [[ $n =~ ^[0-9]+$ ]] || usage
done
((dirs > 0 && samples > 0)) || usage

if [[ ${COMPARE_INSIDE:-} != 1 ]]; then
    if ((EUID != 0)); then
        echo "compare: needs root (mount namespace, loop device, fanotify)" >&2
        exit 1
    fi
    for p in inotifywait fswatch watchman; do
        if ! command -v "$p" >/dev/null; then
            echo "compare: installing the peers from Debian's packages" >&2
            apt-get install -y inotify-tools fswatch watchman >&2
            break
        fi
    done
    for p in server/vantlesd tools/vantles bench/compare_tool bench/compare_service; do
        if [[ ! -x $build/$p ]]; then
            echo "compare: $build/$p not built (cmake --build $build)" >&2
            exit 1
        fi
    done
    COMPARE_INSIDE=1 exec unshare --mount --propagation private bash "$0" "${args[@]}"
fi

# ---------------------------------------------------------------------------------------------
# Scratch volume, chroot, sysctls, and the clean-up of all of it.

tool_bin=$build/bench/compare_tool
scratch=$(mktemp -d /tmp/vantles-compare.XXXXXX)
root=$scratch/root
tree=$root/tree
declare -A saved_sysctl=()

# Every process started runs as a background job of this shell, so the jobs still running are
# exactly what is left to stop.
cleanup() {
    local pid pids
    pids=$(jobs -p)
    for pid in $pids; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    sleep 0.2
    for pid in $(jobs -p); do
        kill -KILL "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    if [[ -n $keep_dir ]]; then
        mkdir -p "$keep_dir"
        cp -r "$scratch"/*.out "$scratch"/*.err "$scratch"/*.log "$scratch"/*.changes \
            "$scratch/watchman" "$keep_dir/" 2>/dev/null || true
    fi
    local key
    for key in "${!saved_sysctl[@]}"; do
        echo "${saved_sysctl[$key]}" >"$key" 2>/dev/null || true
    done
    umount "$root/proc" 2>/dev/null || true
    umount "$root" 2>/dev/null || true  # the loop device clears itself
    umount "$scratch" 2>/dev/null || true
    rmdir "$scratch" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

set_sysctl() {  # file value
    [[ -e $1 ]] || return 0
    [[ -n ${saved_sysctl[$1]:-} ]] || saved_sysctl[$1]=$(cat "$1")
    echo "$2" >"$1"
}

# The image lives in RAM, so that the disk of the machine is no part of the figures.
mount -t tmpfs -o size=16g,mode=0700 compare-staging "$scratch"
inodes=$(((dirs + files + storm + samples + 3 * restart_changes) * 2 + 65536))
blocks_mib=$(((dirs * 4096 + (files + storm) * 256) / 1048576 * 4 + 1024))
truncate -s "${blocks_mib}m" "$scratch/vol.img"
mkfs.ext4 -q -F -N "$inodes" -E lazy_itable_init=0,lazy_journal_init=0 "$scratch/vol.img"
mkdir "$root"
mount -o loop "$scratch/vol.img" "$root"
mkdir -p "$root"/{bin,proc,tmp,dev}
chmod 1777 "$root/tmp"
mknod -m 666 "$root/dev/null" c 1 3
mount -t proc proc "$root/proc"
for p in "$build/server/vantlesd" "$build/tools/vantles" "$build/bench/compare_service"; do
    cp "$p" "$root/bin/"
    ldd "$p" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' |
        while read -r lib; do
            mkdir -p "$root$(dirname "$lib")"
            [[ -e $root$lib ]] || cp -L "$lib" "$root$lib"
        done
done

watches_needed=$((dirs + 1024))
if (($(cat /proc/sys/fs/inotify/max_user_watches) < watches_needed)); then
    set_sysctl /proc/sys/fs/inotify/max_user_watches "$watches_needed"
fi
if [[ -n $queue ]]; then
    set_sysctl /proc/sys/fs/inotify/max_queued_events "$queue"
    set_sysctl /proc/sys/fs/fanotify/max_queued_events "$queue"
fi
inotify_queue=$(cat /proc/sys/fs/inotify/max_queued_events)
fanotify_queue=$(cat /proc/sys/fs/fanotify/max_queued_events 2>/dev/null || echo "?")
user_watches=$(cat /proc/sys/fs/inotify/max_user_watches)

say() { echo "compare: [${SECONDS} s] $*" >&2; }

say "tree: $dirs directories, $files files on ext4 ($(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg))"
tree_start=$EPOCHREALTIME
"$tool_bin" tree "$tree" "$dirs" "$files"
sync
say "tree made in $(awk -v a="$tree_start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.1f", b - a}') s"

# ---------------------------------------------------------------------------------------------
# /proc figures and small helpers.

now_us() { local t=$EPOCHREALTIME; echo "${t/./}"; }
seconds_between() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b - a) / 1e6}'; }

cpu_ticks() {  # pids: utime + stime, summed
    local pid total=0 t
    for pid; do
        t=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null | awk '{print $12 + $13}' || true)
        total=$((total + ${t:-0}))
    done
    echo "$total"
}
clk_tck=$(getconf CLK_TCK)
ticks_to_s() { awk -v t="$1" -v hz="$clk_tck" 'BEGIN {printf "%.2f", t / hz}'; }

# The CPU of tool_pids since the ticks in the named array (one entry per pid): the sum, and for
# a watcher of two processes the share of each, "3.54 (2.91 + 0.63)".
cpu_figure() {  # name of the array of starting ticks
    local -n from=$1
    local i total=0 parts=() used
    for i in "${!tool_pids[@]}"; do
        used=$(($(cpu_ticks "${tool_pids[$i]}") - from[i]))
        total=$((total + used))
        parts+=("$(ticks_to_s "$used")")
    done
    if ((${#parts[@]} > 1)); then
        echo "$(ticks_to_s "$total") (${parts[0]} + ${parts[1]})"
    else
        ticks_to_s "$total"
    fi
}

status_kib() {  # field pids
    local field=$1 pid total=0 v
    shift
    for pid; do
        v=$(awk -v f="$field:" '$1 == f {print $2}' "/proc/$pid/status" 2>/dev/null || true)
        total=$((total + ${v:-0}))
    done
    echo "$total"
}
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }

kernel_marks() {  # pids: inotify watches and fanotify marks held
    local pid total=0 n
    for pid; do
        n=$(cat /proc/"$pid"/fdinfo/* 2>/dev/null |
            grep -c -E '^(inotify wd:|fanotify (ino|mnt_id|sdev|fsid):)' || true)
        total=$((total + ${n:-0}))
    done
    echo "$total"
}

# Waits until FILE has not grown for QUIET seconds (at most LIMIT seconds; both may be
# fractional). Timed by the clock, not by counting polls, which a loaded machine slows down.
wait_quiet() {  # file quiet limit
    local size last_size=-1 now changed start
    local quiet_us limit_us
    quiet_us=$(awk -v s="$2" 'BEGIN {printf "%d", s * 1e6}')
    limit_us=$(awk -v s="$3" 'BEGIN {printf "%d", s * 1e6}')
    start=$(now_us)
    changed=$start
    while :; do
        size=$(stat -c %s "$1")
        now=$(now_us)
        if [[ $size != "$last_size" ]]; then
            last_size=$size
            changed=$now
        elif ((now - changed >= quiet_us)); then
            return 0
        fi
        if ((now - start >= limit_us)); then
            say "$(basename "$1"): still growing after $3 s"
            return 0
        fi
        sleep 0.1
    done
}

# The stamp of the first line of FILE matching PATTERN, waiting up to LIMIT seconds; while
# waiting, touches the probe file every 20 ms. Empty on time-out.
probe_until_reported() {  # file limit
    local deadline=$((SECONDS + $2)) line
    while ((SECONDS < deadline)); do
        line=$(grep -m1 probe "$1" 2>/dev/null || true)
        if [[ -n $line ]]; then
            echo "${line%% *}"
            return 0
        fi
        touch "$tree/probe"
        sleep 0.02
    done
}

# What compare_tool count prints, one variable per figure.
c_created=0 c_removed=0 c_named=0 c_records=0 c_merged=0 c_last_us=0 c_overflows=0 c_entries=0
c_fresh_instances=0
count() {  # kind file prefix: sets c_created c_removed c_named c_records ...
    local k v
    while read -r k v; do
        printf -v "c_$k" '%s' "$v"
    done < <("$tool_bin" count "$1" "$2" "$3")
}

# ---------------------------------------------------------------------------------------------
# The watchers. launch TOOL OUT starts TOOL on the tree with its output stamped into OUT and
# sets tool_pids (the processes whose CPU and memory count) and client_pid (the process that
# prints the events, stopped by stop_client).

wm_dir=$scratch/watchman
mkdir -p "$wm_dir"
echo '{}' >"$wm_dir/config.json"
wm() { watchman --sockname="$wm_dir/sock" --no-spawn --no-local "$@"; }
wm_server_pid=""
start_watchman_server() {
    WATCHMAN_CONFIG_FILE=$wm_dir/config.json watchman --foreground --sockname="$wm_dir/sock" \
        --statefile="$wm_dir/state" --logfile="$wm_dir/log" --pidfile="$wm_dir/pid" \
        >>"$wm_dir/server.out" 2>&1 &
    wm_server_pid=$!
}
stop_watchman_server() {
    wm shutdown-server >/dev/null 2>&1 || kill -TERM "$wm_server_pid" 2>/dev/null || true
    wait "$wm_server_pid" 2>/dev/null || true
    wm_server_pid=""
}

vt_socket=/tmp/vantlesd.sock
vt() { VANTLESD_SOCKET=$vt_socket chroot "$root" /bin/vantles "$@"; }
vt_wait() {  # waits until the daemon answers (60 s at most)
    local deadline=$((SECONDS + 60))
    until vt id >/dev/null 2>&1; do
        ((SECONDS < deadline)) || { say "vantlesd does not answer"; return 1; }
        sleep 0.01
    done
}
vt_daemon_pid=""
start_vantlesd_daemon() {
    VANTLESD_SOCKET=$vt_socket chroot "$root" /bin/vantlesd -d >>"$scratch/vantlesd.log" 2>&1 &
    vt_daemon_pid=$!
}
stop_vantlesd_daemon() {
    kill -TERM "$vt_daemon_pid" 2>/dev/null || true
    wait "$vt_daemon_pid" 2>/dev/null || true
    vt_daemon_pid=""
}

stamp_pid=""
launch() {  # tool out
    local pipe=$scratch/$1.pipe
    rm -f "$pipe"
    mkfifo "$pipe"
    "$tool_bin" stamp <"$pipe" >"$2" &
    stamp_pid=$!
    case $1 in
        inotifywait)
            inotifywait -m -r --format '%e %w%f' -e create -e delete -e modify -e attrib \
                -e move "$tree" >"$pipe" 2>>"$scratch/inotifywait.err" &
            client_pid=$!
            tool_pids=("$client_pid") ;;
        fswatch)
            fswatch -m inotify_monitor -r -x -l 0.1 --allow-overflow --event Created \
                --event Updated --event Removed --event Renamed --event AttributeModified \
                --event MovedFrom --event MovedTo --event Overflow "$tree" \
                >"$pipe" 2>>"$scratch/fswatch.err" &
            client_pid=$!
            tool_pids=("$client_pid") ;;
        watchman)
            [[ -n $wm_server_pid ]] || start_watchman_server
            local sub
            sub="[\"subscribe\", \"$tree\", \"compare\", {\"fields\": [\"name\", \"exists\", \"new\"],"
            sub+=" \"empty_on_fresh_instance\": true}]"
            (
                until wm watch "$tree" >/dev/null 2>&1; do sleep 0.01; done
                exec watchman --sockname="$wm_dir/sock" --no-spawn --no-local -j -p --no-pretty <<<"$sub"
            ) >"$pipe" 2>>"$wm_dir/client.err" &
            client_pid=$!
            tool_pids=("$wm_server_pid" "$client_pid") ;;
        vantlesd)
            [[ -n $vt_daemon_pid ]] || start_vantlesd_daemon
            (
                vt_wait
                VANTLESD_SOCKET=$vt_socket exec chroot "$root" /bin/vantles watch --files --json \
                    --no-defer /tree
            ) >"$pipe" 2>>"$scratch/vantles.err" &
            client_pid=$!
            tool_pids=("$vt_daemon_pid" "$client_pid") ;;
    esac
}
stop_client() {
    kill -TERM "$client_pid" 2>/dev/null || true
    wait "$client_pid" 2>/dev/null || true
    wait "$stamp_pid" 2>/dev/null || true
}
kind_of() { [[ $1 == vantlesd ]] && echo vantles || echo "$1"; }

# ---------------------------------------------------------------------------------------------
# One watcher through all workloads. Figures go to fig[TOOL,KEY].

declare -A fig=()
machine_load_start=$(cut -d' ' -f1-3 /proc/loadavg)

run_tool() {
    local tool=$1 kind
    kind=$(kind_of "$tool")
    local out=$scratch/$tool.out
    say "$tool: set-up"
    rm -f "$tree/probe"
    local t0
    t0=$(now_us)
    launch "$tool" "$out"
    local ready
    ready=$(probe_until_reported "$out" 900)
    if [[ -z $ready ]]; then
        say "$tool: never reported the probe; its errors:"
        cat "$scratch/$tool.err" "$wm_dir/client.err" "$scratch/vantles.err" 2>/dev/null | tail -20 >&2
        return 1
    fi
    fig[$tool,ready]=$(seconds_between "$t0" "$ready")
    fig[$tool,rss]=$(mib "$(status_kib VmRSS "${tool_pids[@]}")")
    local -a cpu_zero=()
    local pid
    for pid in "${tool_pids[@]}"; do cpu_zero+=(0); done
    fig[$tool,setup_cpu]=$(cpu_figure cpu_zero)
    fig[$tool,marks]=$(kernel_marks "${tool_pids[@]}")
    wait_quiet "$out" 0.5 30

    say "$tool: storm of $storm creations and $storm removals"
    local k v
    local -a cpu0=()
    for pid in "${tool_pids[@]}"; do cpu0+=("$(cpu_ticks "$pid")"); done
    local -A st=()
    local perf_pid=""
    if [[ -n $perf_out && $tool == vantlesd ]]; then
        perf record -q -g -p "$vt_daemon_pid" -o "$perf_out" 2>/dev/null &
        perf_pid=$!
    fi
    while read -r k v; do st[$k]=$v; done < <("$tool_bin" storm "$tree" "$dirs" "$storm")
    wait_quiet "$out" "$quiet" 900
    if [[ -n $perf_pid ]]; then
        kill -INT "$perf_pid"
        wait "$perf_pid" || true
    fi
    fig[$tool,storm_cpu]=$(cpu_figure cpu0)
    fig[$tool,peak_rss]=$(mib "$(status_kib VmHWM "${tool_pids[@]}")")
    local quiet_at
    quiet_at=$(now_us)
    fig[$tool,storm_s]=$(seconds_between "${st[storm_start_us]}" "${st[storm_end_us]}")

    say "$tool: latency, $samples changes ${interval_ms} ms apart"
    "$tool_bin" changes "$tree" "$dirs" "$samples" "$interval_ms" l >"$scratch/$tool.changes"
    wait_quiet "$out" 1 60
    while read -r k v; do fig[$tool,lat_$k]=$v; done < \
        <("$tool_bin" latency "$kind" "$out" "$scratch/$tool.changes")

    # The storm is counted only now, so that a watcher that went quiet for a while and then
    # went on reporting it is counted in full (and its late reports show in the drain time).
    count "$kind" "$out" s
    fig[$tool,created]=$c_created
    fig[$tool,removed]=$c_removed
    fig[$tool,records]=$c_records
    fig[$tool,merged]=$c_merged
    fig[$tool,overflows]=$c_overflows
    if ((c_last_us > 0)); then
        fig[$tool,drain]=$(seconds_between "${st[storm_end_us]}" "$c_last_us")
        if ((c_last_us > quiet_at)); then
            fig[$tool,drain]+=" (after $quiet s of silence)"
        fi
    else
        fig[$tool,drain]="-"
    fi

    say "$tool: restart, $restart_changes changes while stopped"
    restart_"$tool"
    "$tool_bin" remove "$tree" "$dirs" "$samples" l
    local p
    for p in ra rb rc; do "$tool_bin" remove "$tree" "$dirs" "$restart_changes" "$p"; done
    rm -f "$tree/probe"
}

# inotifywait and fswatch keep nothing: stopped, changed, started afresh, they report none of
# the changes (measured all the same).
restart_plain() {
    local tool=$1 out=$scratch/$1.restart.out
    stop_client
    "$tool_bin" changes "$tree" "$dirs" "$restart_changes" 0 rb >/dev/null
    sleep "$restart_pause"
    local t0 ready
    t0=$(now_us)
    launch "$tool" "$out"
    ready=$(probe_until_reported "$out" 900)
    wait_quiet "$out" 0.5 30
    count "$tool" "$out" rb
    fig[$tool,a]="n/a (the watcher is the consumer)"
    fig[$tool,b]="$c_named of $restart_changes (no record kept)"
    fig[$tool,b_time]=$( [[ -n $ready ]] && seconds_between "$t0" "$ready" || echo "-")
    stop_client
}
restart_inotifywait() { restart_plain inotifywait; }
restart_fswatch() { restart_plain fswatch; }

wm_clock() { wm clock "$tree" | sed -n 's/.*"clock": *"\([^"]*\)".*/\1/p'; }
wm_since() {  # clock out: the stamped answer of a since query, retried until one comes
    local deadline=$((SECONDS + 900))
    until wm --no-pretty since "$tree" "$1" 2>/dev/null | "$tool_bin" stamp >"$2" &&
        grep -q '"clock"' "$2"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}
restart_watchman() {
    local a_out=$scratch/watchman.a.out b_out=$scratch/watchman.b.out clock t0
    # A: the subscriber goes away, the server keeps watching.
    clock=$(wm_clock)
    stop_client
    "$tool_bin" changes "$tree" "$dirs" "$restart_changes" 0 ra >/dev/null
    t0=$(now_us)
    wm_since "$clock" "$a_out"
    count watchman "$a_out" ra
    fig[watchman,a]="$c_named of $restart_changes ($c_entries entries)"
    fig[watchman,a_time]=$(seconds_between "$t0" "$(head -n1 "$a_out" | cut -d' ' -f1)")
    # B: the server restarts from its state file.
    clock=$(wm_clock)
    stop_watchman_server
    "$tool_bin" changes "$tree" "$dirs" "$restart_changes" 0 rb >/dev/null
    sleep "$restart_pause"
    t0=$(now_us)
    start_watchman_server
    if ! wm_since "$clock" "$b_out" || ! grep -q '"files"' "$b_out"; then
        # Not watched again from its state: watch, then ask.
        wm watch "$tree" >/dev/null
        wm_since "$clock" "$b_out"
    fi
    count watchman "$b_out" rb
    local fresh="not a fresh instance"
    ((c_fresh_instances > 0)) && fresh="fresh instance: every file listed, a rescan"
    fig[watchman,b]="$c_named of $restart_changes; $fresh ($c_entries entries)"
    fig[watchman,b_time]=$(seconds_between "$t0" "$(head -n1 "$b_out" | cut -d' ' -f1)")
    stop_watchman_server
}

vt_history() {  # since out: the stamped replay, ending at its history-done event
    vt history --files --json --since "$1" /tree | "$tool_bin" stamp >"$2"
}
restart_vantlesd() {
    local out=$scratch/vantlesd.a.out id t0 uuid1 uuid2
    # A: the client goes away, the daemon keeps running.
    id=$(vt id)
    stop_client
    "$tool_bin" changes "$tree" "$dirs" "$restart_changes" 0 ra >/dev/null
    t0=$(now_us)
    vt_history "$id" "$out"
    count vantles "$out" ra
    fig[vantlesd,a]="$c_named of $restart_changes ($c_entries events)"
    fig[vantlesd,a_time]=$(seconds_between "$t0" "$(tail -n1 "$out" | cut -d' ' -f1)")
    # B: the daemon restarts, on its own.
    id=$(vt id)
    uuid1=$(vt uuid /)
    stop_vantlesd_daemon
    "$tool_bin" changes "$tree" "$dirs" "$restart_changes" 0 rb >/dev/null
    sleep "$restart_pause"
    t0=$(now_us)
    start_vantlesd_daemon
    vt_wait
    out=$scratch/vantlesd.b.out
    vt_history "$id" "$out"
    uuid2=$(vt uuid /)
    count vantles "$out" rb
    local kept="history uuid unchanged"
    [[ $uuid1 != "$uuid2" ]] && kept="history uuid changed: rescan"
    fig[vantlesd,b]="$c_named of $restart_changes; $kept"
    fig[vantlesd,b_time]=$(seconds_between "$t0" "$(tail -n1 "$out" | cut -d' ' -f1)")
    stop_vantlesd_daemon
    # C: under a service manager that keeps the daemon's kernel queue across the restart.
    local svc_status=$root/tmp/service.status
    : >"$svc_status"
    VANTLESD_SOCKET=$vt_socket chroot "$root" /bin/compare_service /tmp/notify.sock \
        /tmp/service.status /bin/vantlesd -d >>"$scratch/vantlesd.log" 2>&1 &
    local svc_pid=$!
    wait_for_line() {  # text count
        local deadline=$((SECONDS + 60))
        until (($(grep -c "$1" "$svc_status" 2>/dev/null || true) >= $2)); do
            ((SECONDS < deadline)) || { say "service: no '$1' (${2}x)"; return 1; }
            sleep 0.01
        done
    }
    wait_for_line ready 1
    wait_for_line stored 1
    vt_wait
    id=$(vt id)
    uuid1=$(vt uuid /)
    kill -USR1 "$svc_pid"
    wait_for_line stopped 1
    "$tool_bin" changes "$tree" "$dirs" "$restart_changes" 0 rc >/dev/null
    sleep "$restart_pause"
    t0=$(now_us)
    kill -USR2 "$svc_pid"
    wait_for_line ready 2
    vt_wait
    out=$scratch/vantlesd.c.out
    vt_history "$id" "$out"
    uuid2=$(vt uuid /)
    count vantles "$out" rc
    kept="history uuid unchanged"
    [[ $uuid1 != "$uuid2" ]] && kept="history uuid changed: rescan"
    fig[vantlesd,c]="$c_named of $restart_changes; $kept"
    fig[vantlesd,c_time]=$(seconds_between "$t0" "$(tail -n1 "$out" | cut -d' ' -f1)")
    kill -TERM "$svc_pid"
    wait "$svc_pid" 2>/dev/null || true
}

run_start=$SECONDS
# The storm with no watcher at all: what the writer takes on its own, against which the storm's
# duration under each watcher shows what watching cost the writer.
say "storm with no watcher"
declare -A alone=()
while read -r k v; do alone[$k]=$v; done < <("$tool_bin" storm "$tree" "$dirs" "$storm")
storm_alone=$(seconds_between "${alone[storm_start_us]}" "${alone[storm_end_us]}")
IFS=, read -r -a tool_list <<<"$tools"
for tool in "${tool_list[@]}"; do
    case $tool in
        inotifywait | fswatch | watchman | vantlesd) run_tool "$tool" ;;
        *) say "unknown tool $tool"; exit 2 ;;
    esac
done
run_seconds=$((SECONDS - run_start))

# ---------------------------------------------------------------------------------------------
# The report.

g() { echo "${fig[$1,$2]:--}"; }
row() {  # label key [suffix-formatter]
    local line="| $1 |" tool
    for tool in "${tool_list[@]}"; do line+=" $(g "$tool" "$2") |"; done
    echo "$line"
}
of_expected() {  # key expected
    local tool
    for tool in "${tool_list[@]}"; do
        [[ -n ${fig[$tool,$1]:-} ]] && fig[$tool,$1]="${fig[$tool,$1]} / $2"
    done
}
of_expected created "$storm"
of_expected removed "$storm"
for tool in "${tool_list[@]}"; do
    for k in a b c; do
        [[ -n ${fig[$tool,${k}_time]:-} ]] && fig[$tool,$k]="${fig[$tool,$k]}, answered in ${fig[$tool,${k}_time]} s"
    done
done

vantlesd_version=$(git -C "$repo" describe --always --dirty 2>/dev/null || echo "?")
report() {
    echo "## vantlesd compared with inotifywait, fswatch and watchman"
    echo
    echo "- Machine: $(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo), $(nproc) cores," \
        "kernel $(uname -r), $(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) RAM"
    echo "- Load average at the start: $machine_load_start; at the end: $(cut -d' ' -f1-3 /proc/loadavg)" \
        "(other work on the machine counts in it)"
    echo "- Versions: inotifywait $(inotifywait --help 2>&1 | awk 'NR == 1 {print $2}')," \
        "fswatch $(fswatch --version | awk 'NR == 1 {print $2}'), watchman $(watchman --version)," \
        "vantlesd $vantlesd_version"
    echo "- Volume: ext4 on a loop device backed by RAM; tree of $dirs directories and $files files;" \
        "storm $storm creations then $storm removals; $samples latency samples ${interval_ms} ms apart;" \
        "$restart_changes changes per restart case, down ${restart_pause} s after them"
    echo "- Kernel queues: fs.inotify.max_queued_events $inotify_queue," \
        "fs.fanotify.max_queued_events $fanotify_queue; fs.inotify.max_user_watches $user_watches"
    echo "- Settings: inotifywait -m -r -e create,delete,modify,attrib,move; fswatch -m inotify_monitor" \
        "-r -x -l 0.1; watchman subscription (settle 20 ms); vantles watch --files --json --no-defer" \
        "(latency 0.1 s). Memory and CPU: watchman = server + subscribing client, vantlesd = daemon" \
        "+ watch client."
    echo
    local head="| |" sep="|---|" tool
    for tool in "${tool_list[@]}"; do head+=" $tool |"; sep+="---|"; done
    echo "$head"
    echo "$sep"
    row "set-up: ready after (s)" ready
    row "set-up: memory when ready (RSS, MiB)" rss
    row "set-up: CPU (s; server or daemon + client)" setup_cpu
    row "set-up: kernel watches / marks" marks
    row "storm: duration of the storm itself (s; $storm_alone with no watcher)" storm_s
    row "storm: last event after the storm's end (s)" drain
    row "storm: creations reported (distinct paths)" created
    row "storm: removals reported (distinct paths)" removed
    row "storm: records delivered" records
    row "storm: records merging creation and removal" merged
    row "storm: overflow / rescan notices" overflows
    row "storm: CPU (s; server or daemon + client)" storm_cpu
    row "storm: peak memory (MiB)" peak_rss
    row "latency: median (ms)" lat_median_ms
    row "latency: 95th percentile (ms)" lat_p95_ms
    row "latency: changes never reported" lat_missed
    row "restart A, consumer stopped, watcher running: changes reported" a
    row "restart B, watcher restarted: changes reported" b
    row "restart C, daemon restarted under a service manager: changes reported" c
    echo
    echo "Run time: $run_seconds s for the workloads."
}
if [[ -n $out_file ]]; then
    report | tee "$out_file"
else
    report
fi

#!/usr/bin/env bash
# Whether a client that reads its events as they come keeps up with ordinary work on a loaded
# machine, and what its backlog takes meanwhile. Beside `stress-ng --cpu 2` (one busy worker per
# core of a 2-core machine), with one file-level client (vantles watch --files --json /w):
#
#   rmrf     `rm -rf` of a 10,000-entry tree: a copy of /usr/include, padded with generated
#            files to 10,000 entries (or all of it, when larger), made before the daemon starts
#   npm      `npm install` of a real dependency tree (express, webpack, jest and eslint: some
#            10,000 entries) into an empty directory, from a package cache in the scratch
#            directory that a first install fills from the npm registry
#   stopped  once per build: 4 copies of the tree made while a second client is stopped
#            (SIGSTOP) and never reads; its backlog must stay within its bound, it must get a
#            dropped notice once it reads again (SIGCONT), and the reading client none
#
# Each run starts a fresh daemon and client. Figures per workload and build: the runs with a
# dropped notice (user-dropped or kernel-dropped), the events the client received, the peak of
# its backlog as the daemon's state dump reports it (builds that print it), the daemon's peak
# resident memory (VmHWM) and the workload's time; the load average at the start and the end.
#
#   scripts/build.sh vantlesd vantles_tool
#   sudo bench/backlog.sh [options]        20 runs of each: about 40 minutes per build
#
# Options:
#   --runs N          runs of rmrf and npm per build (default 20)
#   --build DIR       the build tree (default build/; needs server/vantlesd and tools/vantles)
#   --baseline DIR    another build tree, measured side by side: every run is made under both
#                     builds in turn (which goes first alternates), on the same volume and load
#   --workloads LIST  comma-separated subset of rmrf,npm,stopped (default all three)
#   --no-stress       without stress-ng (for comparison)
#   --out FILE        also writes the report to FILE
#   --keep DIR        keeps the clients' events, the daemons' logs and npm's output in DIR
#
# Needs root and a loop device (exits with 77 without them), and for npm the registry or a
# cache that already holds the packages. Installs stress-ng (and npm, for the npm workload)
# from Debian's packages when missing. Everything runs in a private mount namespace on a
# RAM-backed ext4 volume; every process started is stopped, also when the run fails.
set -euo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build
baseline=""
runs=20
workloads_arg=rmrf,npm,stopped
stress=1
out_file=""
keep_dir=""
args=("$@")
usage() {
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}
while (($#)); do
    case $1 in
        --runs) runs=${2:?}; shift 2 ;;
        --build) build=$(realpath "${2:?}"); shift 2 ;;
        --baseline) baseline=$(realpath "${2:?}"); shift 2 ;;
        --workloads) workloads_arg=${2:?}; shift 2 ;;
        --no-stress) stress=0; shift ;;
        --out) out_file=$(realpath -m "${2:?}"); shift 2 ;;
        --keep) keep_dir=$(realpath -m "${2:?}"); shift 2 ;;
        *) usage ;;
    esac
done
if ! [[ $runs =~ ^[1-9][0-9]*$ ]]; then usage; fi
IFS=, read -ra workloads <<<"$workloads_arg"
for w in "${workloads[@]}"; do
    [[ $w == rmrf || $w == npm || $w == stopped ]] || usage
done
has_workload() { [[ ,$workloads_arg, == *,$1,* ]]; }
scratch_name=backlog
# shellcheck source=bench/scratch.sh
source "$repo/bench/scratch.sh"

if ! scratch_inside; then
    if ((EUID != 0)); then
        echo "backlog: needs root (mount namespace, loop device, fanotify); skipped" >&2
        exit 77
    fi
    if [[ ! -e /dev/loop-control ]] || ! losetup -f >/dev/null 2>&1; then
        echo "backlog: no loop device; skipped" >&2
        exit 77
    fi
    for b in "$build" ${baseline:+"$baseline"}; do
        for p in server/vantlesd tools/vantles; do
            if [[ ! -x $b/$p ]]; then
                echo "backlog: $b/$p not built (scripts/build.sh vantlesd vantles_tool)" >&2
                exit 1
            fi
        done
    done
    missing=()
    ((stress)) && ! command -v stress-ng >/dev/null && missing+=(stress-ng)
    has_workload npm && ! command -v npm >/dev/null && missing+=(npm)
    if ((${#missing[@]})); then
        echo "backlog: installing ${missing[*]} from Debian's packages" >&2
        apt-get install -y "${missing[@]}" >&2 || { apt-get update >&2 &&
            apt-get install -y "${missing[@]}" >&2; }
    fi
    scratch_reexec "${args[@]}"
fi

# ---------------------------------------------------------------------------------------------
# Scratch volume, the builds in the chroot, and the clean-up of all of it.

scratch_dir
w=$root/w
tpl=$root/tpl
workload_group=""
cleanup() {
    [[ -z $workload_group ]] || kill -KILL -- "-$workload_group" 2>/dev/null || true
    local pid
    for pid in $(jobs -p); do kill -CONT "$pid" 2>/dev/null || true; done  # a stopped client
    scratch_stop_jobs
    if [[ -n $keep_dir ]]; then
        mkdir -p "$keep_dir"
        cp -r "$scratch"/*.jsonl "$scratch"/*.log "$scratch/report.md" "$keep_dir/" \
            2>/dev/null || true
    fi
    scratch_unmount
}
trap cleanup EXIT
trap 'exit 130' INT TERM

scratch_volume 4096 524288
builds=(new)
declare -A build_dir=([new]=$build)
if [[ -n $baseline ]]; then
    builds+=(base)
    build_dir[base]=$baseline
fi
mkdir -p "$scratch/bin"
for b in "${builds[@]}"; do
    cp "${build_dir[$b]}/server/vantlesd" "$scratch/bin/vantlesd-$b"
    cp "${build_dir[$b]}/tools/vantles" "$scratch/bin/vantles-$b"
    scratch_install "$scratch/bin/vantlesd-$b" "$scratch/bin/vantles-$b"
done

mkdir -p "$w/.marks" "$tpl"
cp -a /usr/include "$tpl/include"
entries=$(find "$tpl" -mindepth 1 | wc -l)
if ((entries < 10000)); then
    mkdir "$tpl/pad"
    python3 - "$tpl/pad" $((10000 - entries - 1)) <<'EOF'
import sys
for i in range(int(sys.argv[2])):
    open(f"{sys.argv[1]}/generated-{i:05d}.h", "w").close()
EOF
fi
entries=$(find "$tpl" -mindepth 1 | wc -l)

npm_dir=$scratch/npm  # the package list, its lock file and the package cache: not watched
npm_flags=(--cache "$npm_dir/cache" --prefer-offline --no-audit --no-fund --loglevel=error)
if has_workload npm; then
    mkdir -p "$npm_dir"
    cat >"$npm_dir/package.json" <<'EOF'
{"name": "backlog-bench", "version": "1.0.0", "private": true,
 "dependencies": {"express": "^4.21.0", "webpack": "^5.95.0", "jest": "^29.7.0",
                  "eslint": "^9.0.0"}}
EOF
    say "filling the npm cache"
    (cd "$npm_dir" && npm install "${npm_flags[@]}" >"$npm_dir/first.log" 2>&1) ||
        { say "npm install failed:"; tail -5 "$npm_dir/first.log" >&2; exit 1; }
    npm_entries=$(find "$npm_dir/node_modules" | wc -l)
    rm -rf "$npm_dir/node_modules"
fi
sync

if ((stress)); then
    stress-ng --cpu 2 --quiet >/dev/null 2>&1 &
    sleep 2  # its workers up to speed
fi
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
say "$(nproc) CPUs, load $load_start"

# ---------------------------------------------------------------------------------------------
# One daemon, its clients, the markers that tell where a workload starts and ends.

daemon_pid=""
start_daemon() {  # build
    (VANTLESD_SOCKET=$vt_socket exec chroot "$root" "/bin/vantlesd-$1" -d) \
        >>"$scratch/vantlesd-$1.log" 2>&1 &
    daemon_pid=$!
    local deadline=$((SECONDS + 60))
    until VANTLESD_SOCKET=$vt_socket chroot "$root" "/bin/vantles-$1" id >/dev/null 2>&1; do
        ((SECONDS < deadline)) || { say "vantlesd-$1 does not answer"; return 1; }
        sleep 0.01
    done
}
stop_daemon() {
    kill -TERM "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
    daemon_pid=""
}
start_client() {  # build events-file: sets client_pid
    (VANTLESD_SOCKET=$vt_socket exec chroot "$root" "/bin/vantles-$1" watch --files --json /w) \
        >"$2" 2>>"$scratch/clients.err" &
    client_pid=$!
}
stop_client() {  # pid
    kill -CONT "$1" 2>/dev/null || true
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
marks=0
mark() {  # events-file...: touches a new marker until every client has reported it (60 s)
    local name=m$((++marks)) deadline=$((SECONDS + 60)) next=0 f
    for f; do
        until grep -q -F "\"/w/.marks/$name\"" "$f"; do
            ((SECONDS < deadline)) || { say "a client never reported marker $name"; return 1; }
            if ((SECONDS >= next)); then
                touch "$w/.marks/$name"
                next=$((SECONDS + 1))
            fi
            sleep 0.02
        done
    done
}
# The backlog the client with this pid has now and at its peak, in bytes ("- -" when the
# daemon's state dump does not show it), from a fresh state dump.
backlog_of() {  # build pid
    local log=$scratch/vantlesd-$1.log before deadline=$((SECONDS + 10))
    before=$(grep -c "pending events:" "$log" || true)
    kill -USR1 "$daemon_pid"
    until (($(grep -c "pending events:" "$log" || true) > before)); do
        ((SECONDS < deadline)) || { echo "- -"; return; }
        sleep 0.05
    done
    # The last dump's figures for that client (a dump ends with its "pending events:" line).
    awk -v pid="$2" '
        /internal state \[/ { now = ""; peak = ""; cur = "" }
        / pid [0-9]+, flags / {
            match($0, / pid [0-9]+,/)
            cur = substr($0, RSTART + 5, RLENGTH - 6)
        }
        /backlog [0-9]+ events, / && cur == pid { now = $(NF - 4); peak = $(NF - 1) }
        /pending events:/ { result = now == "" ? "- -" : now " " peak }
        END { print (result == "" ? "- -" : result) }' "$log"
}
peak_rss_kib() { awk '/^VmHWM:/ {print $2}' "/proc/$daemon_pid/status" 2>/dev/null || echo 0; }
dropped_in() { grep -c -E '"(user|kernel)-dropped"' "$1" || true; }

run_workload() {  # rmrf|npm: runs it in the volume, in a session of its own
    local status=0
    case $1 in
        rmrf) (exec setsid rm -rf "$w/rm") & ;;
        npm) (cd "$w/npm" && exec setsid npm install "${npm_flags[@]}") \
                 >>"$scratch/npm.log" 2>&1 & ;;
    esac
    workload_group=$!
    wait "$workload_group" || status=$?
    workload_group=""
    return "$status"
}
prepare() {  # rmrf|npm, before the daemon starts: its changes are nobody's events
    case $1 in
        rmrf) cp -a "$tpl" "$w/rm" ;;
        npm) rm -rf "$w/npm" && mkdir "$w/npm" &&
                 cp "$npm_dir/package.json" "$npm_dir/package-lock.json" "$w/npm/" ;;
    esac
    sync
}

# One run; sets run_line to "dropped events backlog-now backlog-peak rss-kib seconds". Not in a
# subshell, so that what it starts stays a job of this shell for the clean-up.
run_line=""
run_once() {  # build workload number
    local b=$1 wl=$2 events=$scratch/$2-$1-$3.jsonl t0 t1 backlog
    prepare "$wl"
    start_daemon "$b"
    start_client "$b" "$events"
    mark "$events"
    t0=$(now_us)
    run_workload "$wl" || { say "$wl under $b failed"; tail -5 "$scratch/npm.log" >&2; return 1; }
    t1=$(now_us)
    mark "$events"
    wait_quiet "$events" 0.5 60
    backlog=$(backlog_of "$b" "$client_pid")
    run_line="$(dropped_in "$events") $(wc -l <"$events") $backlog $(peak_rss_kib)"
    run_line+=" $(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.1f", (b - a) / 1e6}')"
    stop_client "$client_pid"
    stop_daemon
}

declare -A results=()  # "workload build" -> lines of run_once
for wl in rmrf npm; do
    has_workload "$wl" || continue
    for ((n = 1; n <= runs; n++)); do
        order=("${builds[@]}")
        ((n % 2 == 0 && ${#builds[@]} == 2)) && order=(base new)
        for b in "${order[@]}"; do
            run_once "$b" "$wl" "$n"
            say "$wl run $n, $b: dropped events backlog peak rss seconds = $run_line"
            results["$wl $b"]+="$run_line"$'\n'
        done
    done
done

# A client stopped during 4 copies of the tree, beside a reading one: "peak-of-stopped
# notice-after-resume dropped-of-reader events-of-reader rss-kib".
declare -A stopped=()
stopped_run() {  # build
    local b=$1 reader=$scratch/stopped-reader-$1.jsonl halted=$scratch/stopped-halted-$1.jsonl
    local reader_pid halted_pid backlog notice=no deadline
    rm -rf "$w/many"
    mkdir "$w/many"
    sync
    start_daemon "$b"
    start_client "$b" "$reader"
    reader_pid=$client_pid
    start_client "$b" "$halted"
    halted_pid=$client_pid
    mark "$reader" "$halted"
    kill -STOP "$halted_pid"
    for i in 1 2 3 4; do cp -a "$tpl" "$w/many/$i"; done
    mark "$reader"
    wait_quiet "$reader" 0.5 60
    backlog=$(backlog_of "$b" "$halted_pid")
    kill -CONT "$halted_pid"
    deadline=$((SECONDS + 120))
    until grep -q '"user-dropped"' "$halted"; do
        ((SECONDS < deadline)) || break
        sleep 0.1
    done
    grep -q '"user-dropped"' "$halted" && notice=yes
    stopped[$b]="${backlog#* } $notice $(dropped_in "$reader") $(wc -l <"$reader") $(peak_rss_kib)"
    say "stopped, $b: halted peak, its notice, reader dropped, reader events, rss = ${stopped[$b]}"
    stop_client "$halted_pid"
    stop_client "$reader_pid"
    stop_daemon
    rm -rf "$w/many"
}
if has_workload stopped; then
    for b in "${builds[@]}"; do stopped_run "$b"; done
fi
load_end=$(cut -d' ' -f1-3 /proc/loadavg)
scratch_stop_jobs

# ---------------------------------------------------------------------------------------------
# The report.

label() {
    if [[ $1 == new ]]; then echo "${build_dir[new]}"; else echo "${build_dir[base]} (baseline)"; fi
}
kib() {
    if [[ $1 == - ]]; then echo -; else awk -v b="$1" 'BEGIN {printf "%.0f KiB", b / 1024}'; fi
}
{
    echo "## Backlog of a reading client under load"
    echo
    echo "- Machine: $(nproc) cores, kernel $(uname -r); load average at the start: $load_start," \
        "at the end: $load_end"
    echo "- Load beside the runs: $( ((stress)) && echo "stress-ng --cpu 2" || echo "none")"
    echo "- Client: vantles watch --files --json /w (latency 0.1 s); a fresh daemon per run," \
        "ext4 on a loop device backed by RAM"
    echo "- rmrf: rm -rf of a $entries-entry tree (a copy of /usr/include, padded);" \
        "npm: npm install of express, webpack, jest and eslint (${npm_entries:-?} entries)"
    echo "- Builds: $(for b in "${builds[@]}"; do printf '%s: %s; ' "$b" "$(label "$b")"; done)"
    echo "- Run time: $SECONDS s in all"
    echo
    if ((${#results[@]})); then
        echo "| workload | build | runs | runs with a dropped notice | events received (median) |" \
            "client backlog peak (max) | daemon VmHWM (max) | workload seconds (median) |"
        echo "|---|---|---|---|---|---|---|---|"
        for wl in rmrf npm; do
            for b in "${builds[@]}"; do
                [[ -n ${results["$wl $b"]:-} ]] || continue
                printf '%s' "${results["$wl $b"]}" | awk -v wl="$wl" -v b="$b" '
                    function median(a, n,   i, j, t) {
                        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++)
                            if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
                        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
                    }
                    NF >= 6 { n++; bad += $1 > 0; ev[n] = $2; s[n] = $6
                              if ($4 != "-" && $4 + 0 > peak) peak = $4 + 0
                              if ($5 + 0 > rss) rss = $5 + 0 }
                    END { printf "| %s | %s | %d | %d | %d | %s | %.1f MiB | %.1f |\n", wl, b, n,
                              bad, median(ev, n), peak ? sprintf("%.0f KiB", peak / 1024) : "-",
                              rss / 1024, median(s, n) }'
            done
        done
        echo
    fi
    if ((${#stopped[@]})); then
        echo "A stopped client (SIGSTOP, 4 copies of the tree meanwhile) beside a reading one:"
        echo
        echo "| build | stopped client's backlog peak | its dropped notice after SIGCONT |" \
            "reader's dropped notices | reader's events | daemon VmHWM |"
        echo "|---|---|---|---|---|---|"
        for b in "${builds[@]}"; do
            [[ -n ${stopped[$b]:-} ]] || continue
            read -r peak notice rdrop revents rss <<<"${stopped[$b]}"
            printf '| %s | %s | %s | %s | %s | %.1f MiB |\n' "$b" "$(kib "$peak")" "$notice" \
                "$rdrop" "$revents" "$(awk -v k="$rss" 'BEGIN {print k / 1024}')"
        done
    fi
} >"$scratch/report.md"
if [[ -n $out_file ]]; then cp "$scratch/report.md" "$out_file"; fi
cat "$scratch/report.md"

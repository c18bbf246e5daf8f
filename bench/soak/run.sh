#!/usr/bin/env bash
# The soak: a real vantlesd on its fanotify source, a storm of file changes and 100 clients in
# five worker processes that register on random prefixes, read, stall, are killed or close
# without unregistering, and come back, for a given time. Then it checks that every client
# session that kept up got every change under its paths, and that the daemon is back at its
# baseline (descriptors, memory, clients, held events), logged no internal inconsistency and
# stops cleanly. Prints a summary; exit status 0 when all held, 1 with a FAIL line per fault.
#
#   sudo bench/soak/run.sh [--build DIR] [--keep-log FILE] [SOAK OPTIONS]  (in any order)
#
# The CI form (ctest -L soak, test soak.short) is --seconds 30. The long form, by hand:
#
#   sudo bench/soak/run.sh --seconds 600             # ten minutes
#   sudo bench/soak/run.sh --seconds 14400 --rate 300  # four hours, a heavier storm
#
# Soak options (bench/soak/soak_main.cpp): --seconds N (default 60), --clients N (100),
# --workers N (5), --rate OPS (storm operations per second, 200), --seed N (default: the time;
# printed, so a failing run can be repeated with it), --kill-every S (mean seconds between
# SIGKILLs of a worker, 15; 0: none), --session-max S (longest active time of a session, 40),
# --stall-max S (longest stall, 25), --rss-slack-mib N (memory growth allowed, 32;
# -1: not checked).
#
# --build DIR: the build tree holding server/vantlesd and bench/soak/soak (default build/).
# The daemon's log is copied to --keep-log FILE (default DIR/bench/soak/soak-daemon.log).
#
# Needs root; exits with 77 (skipped) otherwise. In a private mount namespace it makes a tmpfs
# root holding copies of the two programs and their libraries, /proc, /dev/null and a scratch
# tmpfs volume at /mnt/soak, and runs everything chrooted there: the daemon's fanotify source
# sees only those two file systems, never the machine's own, whose changes (other programs'
# short-lived directories, say) would otherwise reach every client as dropped-events notices.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$repo/build
keep_log=""
args=()
while (($#)); do
    case $1 in
        --build) build=$(realpath "${2:?}"); shift 2 ;;
        --keep-log) keep_log=$(realpath -m "${2:?}"); shift 2 ;;
        *) args+=("$1"); shift ;;
    esac
done
set -- "${args[@]}"
[[ -n $keep_log ]] || keep_log=$build/bench/soak/soak-daemon.log

if ((EUID != 0)); then
    echo "soak: needs root (mount namespace, chroot, fanotify); skipped" >&2
    exit 77
fi
if [[ ${VANTLES_SOAK_INSIDE:-} != 1 ]]; then
    VANTLES_SOAK_INSIDE=1 exec unshare --mount --propagation private bash "$0" \
        --build "$build" --keep-log "$keep_log" "$@"
fi

programs=("$build/server/vantlesd" "$build/bench/soak/soak")
for p in "${programs[@]}"; do
    [[ -x $p ]] || { echo "soak: $p not built" >&2; exit 1; }
done

scratch=$(mktemp -d /tmp/vantles-soak.XXXXXX)
root=$scratch/root
cleanup() {
    umount "$root/mnt/soak" 2>/dev/null || true
    umount "$root/proc" 2>/dev/null || true
    umount "$root" 2>/dev/null || true
    umount "$scratch" 2>/dev/null || true
    rmdir "$scratch" 2>/dev/null || true
}
trap cleanup EXIT

mount -t tmpfs -o size=64m,mode=0700 soak-staging "$scratch"
mkdir "$root"
mount -t tmpfs -o size=2g,mode=0755 soak-root "$root"
mkdir -p "$root"/{bin,proc,tmp,dev,mnt/soak}
chmod 1777 "$root/tmp"
mknod -m 666 "$root/dev/null" c 1 3
mount -t proc proc "$root/proc"
mount -t tmpfs -o size=1g,mode=0755 soak-volume "$root/mnt/soak"

# Each program and the libraries it loads, at their own paths inside the root.
for p in "${programs[@]}"; do
    cp "$p" "$root/bin/$(basename "$p")"
    ldd "$p" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' |
        while read -r lib; do
            mkdir -p "$root$(dirname "$lib")"
            [[ -e $root$lib ]] || cp -L "$lib" "$root$lib"
        done
done

echo "soak: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
chroot "$root" /bin/soak --daemon /bin/vantlesd "$@" || status=$?
if [[ -f $root/tmp/soak/vantlesd.log ]]; then
    mkdir -p "$(dirname "$keep_log")"
    cp "$root/tmp/soak/vantlesd.log" "$keep_log"
    echo "soak: the daemon's log is in $keep_log"
fi
exit "$status"

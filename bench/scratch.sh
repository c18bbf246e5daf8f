# The scratch volume of the benchmarks that run the real daemon (bench/compare,
# bench/intake_workloads). Sourced; functions only, and the variables they set.
#
# The caller re-enters itself in a private mount namespace (scratch_reexec), so that nothing it
# mounts reaches the machine. A tmpfs under /tmp is the staging directory ($scratch); it holds
# an ext4 image on a loop device in RAM, mounted at $root, which is both the volume the
# workloads change and the root of a chroot for the daemon and its clients: the daemon marks
# the file systems it can see, so its fanotify marks and its history see that volume and
# nothing of the machine. Every process the caller starts runs as a background job of its
# shell, so the jobs still running are exactly what scratch_stop_jobs has to stop.
#
# The caller sets scratch_name (the prefix of its messages and of the staging directory).

say() { echo "$scratch_name: [${SECONDS} s] $*" >&2; }

scratch_inside() { [[ ${VANTLES_SCRATCH_INSIDE:-} == 1 ]]; }
scratch_reexec() {  # the caller's arguments
    VANTLES_SCRATCH_INSIDE=1 exec unshare --mount --propagation private bash "$0" "$@"
}

scratch_dir() {  # sets scratch and root; nothing is mounted yet
    scratch=$(mktemp -d "/tmp/vantles-$scratch_name.XXXXXX")
    root=$scratch/root
}

scratch_volume() {  # size-in-MiB inodes
    mount -t tmpfs -o size=16g,mode=0700 "$scratch_name-staging" "$scratch"
    truncate -s "${1}m" "$scratch/vol.img"
    mkfs.ext4 -q -F -N "$2" -E lazy_itable_init=0,lazy_journal_init=0 "$scratch/vol.img"
    mkdir "$root"
    mount -o loop "$scratch/vol.img" "$root"
    mkdir -p "$root"/{bin,proc,tmp,dev}
    chmod 1777 "$root/tmp"
    mknod -m 666 "$root/dev/null" c 1 3
    mount -t proc proc "$root/proc"
}

scratch_install() {  # programs: copied into the chroot's /bin with the libraries they load
    local p lib
    for p; do
        cp "$p" "$root/bin/"
        ldd "$p" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' |
            while read -r lib; do
                mkdir -p "$root$(dirname "$lib")"
                [[ -e $root$lib ]] || cp -L "$lib" "$root$lib"
            done
    done
}

scratch_stop_jobs() {
    local pid
    for pid in $(jobs -p); do
        kill -TERM "$pid" 2>/dev/null || true
    done
    sleep 0.2
    for pid in $(jobs -p); do
        kill -KILL "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}

# Processes killed a moment ago may still be closing their files on the volume: each unmount
# is tried for up to 5 s, then done lazily (the namespace goes with this process anyway).
scratch_unmount() {
    local m i
    for m in "$root/proc" "$root" "$scratch"; do  # the loop device clears itself
        mountpoint -q "$m" || continue
        for ((i = 0; i < 50; i++)); do
            umount "$m" 2>/dev/null && break
            sleep 0.1
        done
        ! mountpoint -q "$m" || umount -l "$m" 2>/dev/null || true
    done
    rmdir "$scratch" 2>/dev/null || true
}

# The daemon and the tool, chrooted into the volume.
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

now_us() { local t=$EPOCHREALTIME; echo "${t/./}"; }

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

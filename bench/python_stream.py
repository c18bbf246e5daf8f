#!/usr/bin/env python3
"""The Python client library (python/vantles) under the real daemon: throughput and latency.

  throughput  the daemon fed raw records through a FIFO (VANTLESD_DEVICE), each a content change
              of a path of its own, at paced rates for a few seconds per rate (a fresh daemon
              per rate); one Python Stream on "/" (file level, latency 0.1 s) counts what it
              receives. Per rate: records sent, events received, dropped notices, the rate the
              stream received at and the CPU the Python process used. Target: >= 100,000
              events/s with every event received and no dropped notice.
  latency     the daemon on its real fanotify source; a Python Stream (file level, latency 0,
              no-defer) on DIR/python, one write of a byte to an open file per sample, timed
              from just before the write to the moment the iterator returns the batch holding
              it. In the same run bench/live_latency_bench measures the C++ client the same way
              (its median is the reference: target within 0.2 ms of it).

Needs root. In a private mount namespace it makes a tmpfs root (under a directory in /tmp that
is removed again) showing the machine's /usr, /etc and libraries read-only, the build directory
at /opt/build and python/ at /opt/python, and runs everything chrooted there: the daemon's root
volume is that tmpfs ("/.vantlesd" is made there, never on the machine's "/").

Run: sudo python3 bench/python_stream.py [--build DIR] [--rates R1,R2,..] [--seconds S]
     [--samples N] [--spacing-ms MS] [--only throughput|latency]
"""

import argparse
import fcntl
import os
import resource
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import traceback

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "python"))
import vantles  # noqa: E402  (imported before the chroot hides the machine's paths)
from vantles import Flags  # noqa: E402

SOCKET = "/tmp/pybench.sock"
FIFO = "/tmp/pybench.records"
LOG = "/tmp/pybench.err"
NOTICES = Flags.user_dropped | Flags.kernel_dropped | Flags.history_done
PIPE_BYTES = 1 << 20
F_SETPIPE_SZ = 1031
QUIET_S = 2.0  # no new event for this long after the writer ended: delivery is over
RUNNING = []  # daemons started and not stopped yet: killed when a run fails

# One raw record: a content change of a regular file (header, path, file info, terminator).
REC_CONTENT_MODIFIED, REC_PID = 4, 4242
ARG_PATH, ARG_FILE_INFO, ARG_DONE = 1, 12, 0xB33F
FILE_MODE = 0o100644


def record(path: bytes, dev: int, inode: int) -> bytes:
    path += b"\0"
    return b"".join(
        [
            struct.pack("<Ii", REC_CONTENT_MODIFIED, REC_PID),
            struct.pack("<HH", ARG_PATH, len(path)),
            path,
            struct.pack("<HHQIIII", ARG_FILE_INFO, 24, inode, dev, FILE_MODE, 0, 0),
            struct.pack("<H", ARG_DONE),
        ]
    )


def records(prefix: bytes, n: int, dev: int, first_inode: int):
    """n records of PREFIX/m<k % 1000>/f<k>, back to back, and where each one ends."""
    parts = [record(b"%s/m%03d/f%d" % (prefix, k % 1000, k), dev, first_inode + k)
             for k in range(n)]
    ends, total = [], 0
    for p in parts:
        total += len(p)
        ends.append(total)
    return b"".join(parts), ends


def load() -> str:
    return " ".join("%.2f" % x for x in os.getloadavg())


def start_daemon(fifo: bool) -> subprocess.Popen:
    env = {"PATH": "/usr/bin:/bin", "VANTLESD_SOCKET": SOCKET}
    if fifo:
        if os.path.exists(FIFO):
            os.unlink(FIFO)
        os.mkfifo(FIFO, 0o600)
        env["VANTLESD_DEVICE"] = FIFO
    with open(LOG, "ab") as log:
        daemon = subprocess.Popen(["/opt/build/server/vantlesd", "-d"], env=env, stderr=log,
                                  stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    RUNNING.append(daemon)
    deadline = time.monotonic() + 30
    while True:
        try:
            vantles.current_id(socket=SOCKET, timeout=30)  # answered once the volumes are watched
            return daemon
        except vantles.DaemonNotRunning:
            if daemon.poll() is not None or time.monotonic() > deadline:
                sys.exit("python_stream: the daemon did not start; see %s" % LOG)
            time.sleep(0.01)


def stop_daemon(daemon: subprocess.Popen) -> None:
    RUNNING.remove(daemon)
    daemon.send_signal(signal.SIGTERM)
    try:
        daemon.wait(10)
    except subprocess.TimeoutExpired:
        daemon.kill()
        daemon.wait()


def write_paced(data: bytes, ends: list, rate: float) -> None:
    """In a child: writes the records at rate records/s in 1 ms slices, then exits."""
    fd = -1
    while fd < 0:
        try:
            fd = os.open(FIFO, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:
            time.sleep(0.005)
    os.set_blocking(fd, True)
    fcntl.fcntl(fd, F_SETPIPE_SZ, PIPE_BYTES)
    start = time.monotonic()
    done_bytes = 0
    count = len(ends)
    while True:
        due = min(count, int((time.monotonic() - start) * rate) + 1)
        end = ends[due - 1]
        view = memoryview(data)[done_bytes:end]
        while view:
            view = view[os.write(fd, view):]
        done_bytes = end
        if due == count:
            break
        time.sleep(0.001)
    os.close(fd)


def throughput(rates, seconds):
    dev = vantles.device_of("/")
    print("throughput: one Stream on \"/\" (files, latency 0.1 s), %.1f s per rate; load %s"
          % (seconds, load()))
    print("%9s %9s %9s %7s %11s %8s" % ("rate/s", "sent", "received", "notices", "received/s",
                                        "py cpu"))
    best = 0
    for rate in rates:
        n = int(rate * seconds)
        data, ends = records(b"/home/user/src/project", n, dev, 1000)
        daemon = start_daemon(fifo=True)
        received = notices = 0
        first = last = 0.0
        with vantles.Stream(["/"], latency=0.1, files=True, socket=SOCKET) as stream:
            writer = os.fork()
            if writer == 0:
                try:
                    write_paced(data, ends, rate)
                finally:
                    os._exit(0)
            cpu_before = resource.getrusage(resource.RUSAGE_SELF)
            writer_done = False
            while received < n:
                batch = stream.read(0.25)
                now = time.monotonic()
                if batch:
                    first = first or now
                    last = now
                    for event in batch:
                        if event.flags & NOTICES:
                            notices += 1
                        else:
                            received += 1
                if not writer_done and os.waitpid(writer, os.WNOHANG)[0] == writer:
                    writer_done, writer_end = True, now
                if writer_done and now - max(last, writer_end) > QUIET_S:
                    break
            cpu_after = resource.getrusage(resource.RUSAGE_SELF)
            if not writer_done:
                os.waitpid(writer, 0)
        stop_daemon(daemon)
        span = max(last - first, 1e-9)
        cpu = (cpu_after.ru_utime + cpu_after.ru_stime - cpu_before.ru_utime - cpu_before.ru_stime)
        print("%9d %9d %9d %7d %11.0f %7.0f%%" % (rate, n, received, notices, received / span,
                                                   100 * cpu / span))
        if received == n and notices == 0:
            best = max(best, rate)
    print("python_throughput %d events/s with every event received and no notice "
          "(target >= 100000): %s" % (best, "met" if best >= 100000 else "MISSED"))


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def python_latency(directory, samples, spacing):
    os.makedirs(directory + "/python", exist_ok=True)
    path = directory + "/python/f"
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
    daemon = start_daemon(fifo=False)
    times, lost = [], 0
    with vantles.Stream([directory + "/python"], latency=0, files=True, no_defer=True,
                        socket=SOCKET) as stream:
        time.sleep(0.5)
        while stream.read(0):
            pass
        for _ in range(samples):
            start = time.monotonic()
            os.pwrite(fd, b"x", 0)
            deadline = start + 1.0
            while True:
                batch = stream.read(max(0.0, deadline - time.monotonic()))
                end = time.monotonic()  # the batch is in hand: what is done with it is the caller's
                if any(e.path == path for e in batch):
                    times.append((end - start) * 1000)
                    break
                if time.monotonic() >= deadline:
                    lost += 1
                    break
            time.sleep(2 * spacing)  # as far apart as the C++ client's samples
    stop_daemon(daemon)
    os.close(fd)
    return times, lost


def latency(samples, spacing_ms, directory="/tmp/lat"):
    print("latency: %d samples each, %d ms apart; load %s" % (samples, spacing_ms, load()))
    cpp = subprocess.run(
        ["/opt/build/bench/live_latency_bench", "--daemon", "/opt/build/server/vantlesd",
         "--dir", directory, "--samples", str(samples), "--spacing-ms", str(spacing_ms)],
        stdout=subprocess.PIPE, universal_newlines=True)
    cpp_median = None
    for line in cpp.stdout.splitlines():
        if line.startswith("vantlesd "):
            print("C++      " + line[9:])
            cpp_median = float(line.split()[5])
    times, lost = python_latency(directory, samples, spacing_ms / 1000.0)
    print("python   %-10s %4d %4d %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f" % (
        directory, len(times), lost, min(times), statistics.median(times), percentile(times, 0.9),
        percentile(times, 0.95), percentile(times, 0.99), max(times)))
    if cpp_median is None:
        print("python_latency: no C++ figure (live_latency_bench failed: status %d)"
              % cpp.returncode)
        return
    median = statistics.median(times)
    print("python_latency median %.3f ms, C++ client median %.3f ms: %+.3f ms (target within "
          "0.2): %s" % (median, cpp_median, median - cpp_median,
                        "met" if median - cpp_median <= 0.2 and lost == 0 else "MISSED"))


def build_root(build: str) -> str:
    """The scratch root (see the top); returns its path. In the private mount namespace."""
    staging = tempfile.mkdtemp(prefix="vantles-pybench.", dir="/tmp")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m,mode=0700", "pybench-staging",
                    staging], check=True)
    root = staging + "/root"
    os.mkdir(root)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2g,mode=0755", "pybench-root", root],
                   check=True)
    for d in ("proc", "tmp", "dev", "opt/build", "opt/python"):
        os.makedirs(root + "/" + d)
    os.chmod(root + "/tmp", 0o1777)
    os.mknod(root + "/dev/null", 0o666 | 0o020000, os.makedev(1, 3))
    binds = [(d, "/" + d) for d in ("usr", "etc", "bin", "sbin", "lib", "lib64")]
    binds += [("opt/build", build), ("opt/python", os.path.join(REPO, "python"))]
    for target, source in binds:
        if os.path.islink(source):
            os.symlink(os.readlink(source), root + "/" + target)
        elif os.path.isdir(source):
            os.makedirs(root + "/" + target, exist_ok=True)
            subprocess.run(["mount", "--bind", "-o", "ro", source, root + "/" + target],
                           check=True)
            subprocess.run(["mount", "-o", "remount,bind,ro", root + "/" + target], check=True)
    subprocess.run(["mount", "-t", "proc", "proc", root + "/proc"], check=True)
    return root


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(REPO, "build"))
    parser.add_argument("--rates", default="100000,150000,200000")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--samples", type=int, default=100)
    parser.add_argument("--spacing-ms", type=int, default=20)
    parser.add_argument("--only", choices=("throughput", "latency"))
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("python_stream: needs root (mount namespace, chroot)")
    build = os.path.realpath(args.build)
    for program in ("server/vantlesd", "bench/live_latency_bench"):
        if not os.access(os.path.join(build, program), os.X_OK):
            sys.exit("python_stream: %s/%s not built" % (build, program))
    if not args.inside:
        argv = [sys.executable, os.path.abspath(__file__), "--inside"] + sys.argv[1:]
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private"] + argv)
    print("python_stream: %d CPUs, load average %s, %s" % (os.cpu_count(), load(),
                                                           sys.version.split()[0]))
    sys.stdout.flush()

    def body():
        if args.only in (None, "throughput"):
            throughput([float(r) for r in args.rates.split(",")], args.seconds)
        if args.only in (None, "latency"):
            latency(args.samples, args.spacing_ms)

    sys.exit(run_in_root(build, body))


def run_in_root(build: str, body) -> int:
    """Runs body in a child chrooted into a new scratch root, then kills whatever it left in
    RUNNING and removes the root. The child's exit code."""
    root = build_root(build)
    staging = os.path.dirname(root)
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.chroot(root)
            os.chdir("/")
            body()
            status = 0
        except SystemExit as e:
            print(e, file=sys.stderr)
        except BaseException:
            traceback.print_exc()
        finally:
            for process in RUNNING:
                process.kill()
                process.wait()
            sys.stdout.flush()
            os._exit(status)
    status = os.waitpid(pid, 0)[1]
    subprocess.run(["umount", "-R", staging])
    shutil.rmtree(staging, ignore_errors=True)
    return os.waitstatus_to_exitcode(status)

if __name__ == "__main__":
    main()

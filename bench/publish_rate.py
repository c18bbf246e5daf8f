#!/usr/bin/env python3
"""`vantles publish` at paced rates: events per second from a change to its acknowledged message.

The daemon reads raw records from a FIFO (VANTLESD_DEVICE) instead of the kernel, each a content
change of a path of its own, so that changes come at a set rate however slowly this machine
makes real files while it also runs the daemon, the publisher and the broker. One publisher
(file level, latency 0.01 s) watches "/" and publishes into nats-server with JetStream; for
each rate, RATE x SECONDS records are written in 1 ms slices, and the stream's message count
(stored messages are acknowledged ones) is polled on the server's monitoring port until it
holds them all or stops growing. Per rate: records, messages stored, the rate they were stored
at (from the first record to the last message), and the publisher's CPU and peak memory.
Target: at least 50,000 events a second with every event stored.

The scratch root is python_stream.py's (a tmpfs "/" in a private mount namespace showing the
machine's /usr, /etc and libraries read-only and the build at /opt/build), and everything runs
in a private network namespace whose loopback only this script uses.

Run: sudo python3 bench/publish_rate.py [--build DIR] [--rates R1,R2,..] [--seconds S]
"""

import argparse
import encodings.idna  # noqa: F401  (loaded before the chroot hides the library)
import json
import os
import subprocess
import sys
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import python_stream as harness  # noqa: E402  (the scratch root, the daemon, the records)

MONITOR = "http://127.0.0.1:8222/jsz?streams=true"
QUIET_S = 2.0


def stored() -> int:
    with urllib.request.urlopen(MONITOR, timeout=5) as reply:
        return int(json.load(reply).get("messages", 0))


def publisher_usage(pid: int):
    """CPU seconds so far and peak resident MiB of the publisher."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    peak = 0.0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                peak = int(line.split()[1]) / 1024
    return cpu, peak


def wait_for(cond, seconds: float, what: str) -> None:
    deadline = time.monotonic() + seconds
    while not cond():
        if time.monotonic() > deadline:
            sys.exit("publish_rate: %s did not happen" % what)
        time.sleep(0.05)


def run(rates, seconds) -> None:
    os.makedirs("/tmp/nats")
    nats = subprocess.Popen(["/usr/sbin/nats-server", "-js", "-a", "127.0.0.1", "-p", "4222",
                             "-m", "8222", "-sd", "/tmp/nats"],
                            stdout=subprocess.DEVNULL, stderr=open("/tmp/nats.log", "ab"))
    harness.RUNNING.append(nats)
    daemon = harness.start_daemon(fifo=True)
    dev = harness.vantles.device_of("/")
    err = open("/tmp/publish.err", "ab")
    publisher = subprocess.Popen(
        ["/opt/build/tools/vantles", "publish", "--socket", harness.SOCKET, "--subject",
         "vantles.bench", "--host", "bench", "--files", "--latency", "0.01", "/"],
        stdout=subprocess.DEVNULL, stderr=err)
    harness.RUNNING.append(publisher)

    def stream_ready() -> bool:
        try:
            return stored() >= 0 and b"VANTLES" in urllib.request.urlopen(MONITOR).read()
        except OSError:
            return False

    wait_for(stream_ready, 30, "the publisher's stream")
    print("publish_rate: load %s" % harness.load())
    print("%9s %9s %9s %11s %9s %9s" % ("rate/s", "sent", "stored", "stored/s", "pub cpu",
                                        "pub MiB"))
    best = 0
    for index, rate in enumerate(rates):
        n = int(rate * seconds)
        data, ends = harness.records(b"/bench/r%d" % index, n, dev, 10_000_000 * (index + 1))
        before = stored()
        cpu_before, _ = publisher_usage(publisher.pid)
        start = time.monotonic()
        writer = os.fork()
        if writer == 0:
            try:
                harness.write_paced(data, ends, rate)
            finally:
                os._exit(0)
        count, last_change = before, start
        while count - before < n:
            now = time.monotonic()
            current = stored()
            if current != count:
                count, last_change = current, now
            elif now - last_change > QUIET_S and os.waitpid(writer, os.WNOHANG)[0] == writer:
                writer = 0
                break
            time.sleep(0.02)
        if writer:
            os.waitpid(writer, 0)
        span = max(last_change - start, 1e-9)
        cpu_after, peak = publisher_usage(publisher.pid)
        got = count - before
        print("%9d %9d %9d %11.0f %8.0f%% %9.1f" % (rate, n, got, got / span,
                                                    100 * (cpu_after - cpu_before) / span, peak))
        sys.stdout.flush()
        if got == n:
            best = max(best, int(got / span))
    publisher.terminate()
    publisher.wait(10)
    harness.RUNNING.remove(publisher)
    harness.stop_daemon(daemon)
    err.close()
    with open("/tmp/publish.err") as f:
        complaints = f.read().strip()
    if complaints:
        print("the publisher's standard error:\n" + complaints)
    print("publish_rate %d events/s stored, every one (target >= 50000): %s"
          % (best, "met" if best >= 50000 else "MISSED"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(harness.REPO, "build"))
    parser.add_argument("--rates", default="25000,50000,75000")
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("publish_rate: needs root (mount and network namespaces, chroot)")
    build = os.path.realpath(args.build)
    for program in ("server/vantlesd", "tools/vantles", "tools/vantles-publish"):
        if not os.access(os.path.join(build, program), os.X_OK):
            sys.exit("publish_rate: %s/%s not built" % (build, program))
    if not args.inside:
        argv = [sys.executable, os.path.abspath(__file__), "--inside"] + sys.argv[1:]
        os.execvp("unshare", ["unshare", "--mount", "--net", "--propagation", "private"] + argv)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    sys.exit(harness.run_in_root(
        build, lambda: run([float(r) for r in args.rates.split(",")], args.seconds)))

if __name__ == "__main__":
    main()

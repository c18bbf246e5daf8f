#!/usr/bin/env python3
"""The workloads of bench/intake_workloads that it performs itself, the record of what every
workload did, and the judgement of the daemon's events against that record.

Paths are the volume's own, as the daemon in its chroot reports them: a path on the host
under ROOT (where the volume is mounted) with ROOT taken off. A record is the set of paths
that existed at some moment of a workload (NUL-separated in its file); the ancestors of
those paths are accepted as well when judging. Beside it, RECORD.files holds the names of the
files a workload of this helper made or removed (each name made once): every one of them
must show in some event of that workload, under whichever directory.

  pretrees ROOT DIR N            N trees under DIR, made before the daemon starts
  list ROOT DIR RECORD           the tree under DIR (what existed before the workload)
  run short|rmrf|rename ROOT DIR RECORD [--quick]
  origin DIR                     a git repository of two branches that differ widely
  strace ROOT CWD RECORD TRACE   the paths the processes traced into TRACE.<pid> touched
  report EVENTS [--check] N|LABEL|DIR|RECORD|SECONDS...
"""
import glob
import json
import os
import re
import subprocess
import sys
import time


class Record:
    """Paths that existed, and the ones that exist now (so that a renamed directory takes the
    paths below it along)."""

    def __init__(self, root, path):
        self.root, self.path = os.path.normpath(root), path
        self.ever, self.files = load(path), load(path + ".files")
        self.live = set(self.ever)

    def vol(self, p):
        p = os.path.normpath(p)
        if p == self.root:
            return "/"
        return p[len(self.root):] if p.startswith(self.root + "/") else None

    def add(self, p):
        v = self.vol(p)
        if v:
            self.live.add(v)
            self.ever.add(v)

    def below(self, v):
        return {q for q in self.live if q == v or q.startswith(v + "/")} if v else set()

    def remove(self, p):
        self.live -= self.below(self.vol(p))

    def rename(self, a, b, exchange=False):
        va, vb = self.vol(a), self.vol(b)
        ta, tb = self.below(va), self.below(vb)
        self.live -= ta | tb
        moved = {vb + q[len(va):] for q in ta} if va and vb else set()
        if exchange and va and vb:
            moved |= {va + q[len(vb):] for q in tb}
        self.live |= moved
        self.ever |= moved
        self.add(b)

    def save(self):
        for path, names in ((self.path, self.ever), (self.path + ".files", self.files)):
            with open(path, "wb") as f:
                f.write(b"\0".join(os.fsencode(p) for p in sorted(names)))


def load(path):
    if not os.path.exists(path):
        return set()
    with open(path, "rb") as f:
        return {os.fsdecode(p) for p in f.read().split(b"\0") if p}


# --- The workloads this helper performs, each change recorded as it is made. --------------

def write(rec, path, size=100):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.write(fd, b"x" * size)
    os.close(fd)
    rec.add(path)
    rec.files.add(os.path.basename(path))


def write_and_remove(rec, path):
    write(rec, path)
    os.unlink(path)
    rec.remove(path)


def rename(rec, a, b):
    os.rename(a, b)
    rec.rename(a, b)


def rm_rf(rec, path):
    subprocess.run(["rm", "-rf", path], check=True)
    rec.remove(path)


def short_lived(rec, d, bursts, per_burst):
    """`mkdir -p a/b`, five files written in it, `rm -rf a`; in bursts without pauses inside.
    The names a and b come back every time; the files' names are new each time."""
    n = 0
    for _ in range(bursts):
        for _ in range(per_burst):
            n += 1
            os.makedirs(f"{d}/a/b")
            rec.add(f"{d}/a/b")
            for j in range(5):
                write(rec, f"{d}/a/b/f{n}-{j}")
            rm_rf(rec, f"{d}/a")
        time.sleep(0.3)


TREE_DIRS = ("", "/a", "/a/b", "/a/b/c", "/a/e")


def pretrees(d, count):
    for k in range(count):
        for i, sub in enumerate(TREE_DIRS):
            os.makedirs(f"{d}/t{k}{sub}", exist_ok=True)
            for m in range(3):
                with open(f"{d}/t{k}{sub}/g{k}-{i}-{m}", "w") as f:
                    f.write("y" * 200)


def remove_trees(rec, d):
    rec.files |= {name for _, _, files in os.walk(d) for name in files}
    for k in sorted(int(n[1:]) for n in os.listdir(d) if re.fullmatch(r"t\d+", n)):
        rm_rf(rec, f"{d}/t{k}")


def renames(rec, d, count, chain, swaps):
    # Directories renamed (half of them into another directory) and written in at once. Each
    # had a file made and removed just before: named after the rename, it never existed.
    os.mkdir(f"{d}/moved")
    rec.add(f"{d}/moved")
    for k in range(count):
        r, s = f"{d}/r{k}", f"{d}/s{k}" if k % 2 else f"{d}/moved/s{k}"
        os.mkdir(r)
        rec.add(r)
        write(rec, f"{r}/pre{k}")
        write_and_remove(rec, f"{r}/gone{k}")
        rename(rec, r, s)
        write(rec, f"{s}/new{k}")
    renamed_while_written(rec, d, chain)
    # Two directories swapping names, a file made and removed in each after every swap.
    x, y, t = f"{d}/x", f"{d}/y", f"{d}/t"
    for p in (x, y):
        os.mkdir(p)
        rec.add(p)
    for k in range(swaps):
        rename(rec, x, t)
        rename(rec, y, x)
        rename(rec, t, y)
        for p, tag in ((x, "x"), (y, "y")):
            write(rec, f"{p}/kept{k}{tag}")
            write_and_remove(rec, f"{p}/swap{k}{tag}")


def renamed_while_written(rec, d, chain):
    """A child process writes files in a directory through its descriptor (every other one
    removed again) while this one renames the directory c0 -> c1 -> ... every 2 ms. Both
    stamp their calls with the monotonic clock, so that each file gets exactly the names its
    directory had between the file's creation and its removal (both, around a rename)."""
    names = [f"{d}/c{i}" for i in range(chain + 1)]
    os.mkdir(names[0])
    rec.add(names[0])
    dfd = os.open(names[0], os.O_RDONLY | os.O_DIRECTORY)
    period = 0.002
    end = time.monotonic() + period * (chain + 2)
    rd, wr = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(rd)
        log, n = [], 0
        while time.monotonic() < end:
            c0 = time.monotonic_ns()
            fd = os.open(f"w{n}", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=dfd)
            for _ in range(4):
                os.write(fd, b"z" * 1024)
            os.close(fd)
            u1 = None
            if n % 2:
                os.unlink(f"w{n}", dir_fd=dfd)
                u1 = time.monotonic_ns()
            log.append((n, c0, u1))
            n += 1
            time.sleep(0.0002)
        os.write(wr, json.dumps(log).encode())
        os._exit(0)
    os.close(wr)
    os.close(dfd)
    times = []
    for i in range(chain):
        time.sleep(period)
        r0 = time.monotonic_ns()
        rename(rec, names[i], names[i + 1])
        times.append((r0, time.monotonic_ns()))
    with os.fdopen(rd, "rb") as f:
        log = json.loads(f.read())
    os.waitpid(pid, 0)
    for n, c0, u1 in log:
        first = sum(1 for _, r1 in times if r1 < c0)  # renames over before the creation
        last = chain if u1 is None else sum(1 for r0, _ in times if r0 <= u1)
        for i in range(first, last + 1):
            rec.add(f"{names[i]}/w{n}")
        rec.files.add(f"w{n}")


def origin(d):
    """Two branches of a few hundred files: `other` removes, adds, rewrites and moves whole
    directories of `main` and turns directories into files. No two files share a name, so
    that a file reported under another directory names a path that never existed."""
    env = dict(os.environ, GIT_CONFIG_NOSYSTEM="1", GIT_CONFIG_GLOBAL="/dev/null",
               GIT_AUTHOR_NAME="w", GIT_AUTHOR_EMAIL="w@localhost", GIT_COMMITTER_NAME="w",
               GIT_COMMITTER_EMAIL="w@localhost")

    def git(*args):
        subprocess.run(["git", "-C", d, *args], check=True, env=env, stdout=subprocess.DEVNULL)

    def put(path, text):
        os.makedirs(os.path.dirname(f"{d}/{path}"), exist_ok=True)
        with open(f"{d}/{path}", "w") as f:
            f.write(text)

    os.makedirs(d)
    git("init", "-q", "-b", "main")
    for i in range(20):
        for j in range(10):
            put(f"src/d{i}/f{i}-{j}.txt", f"main {i} {j}\n" * 20)
        for j in range(5):
            put(f"src/d{i}/sub/g{i}-{j}.txt", f"sub {i} {j}\n")
    git("add", "-A")
    git("commit", "-q", "-m", "main")
    git("checkout", "-q", "-b", "other")
    for i in range(6):
        subprocess.run(["rm", "-r", f"{d}/src/d{i}"], check=True)
        for j in range(12):
            put(f"src/n{i}/deep/er/h{i}-{j}.txt", f"other {i} {j}\n")
    for i in range(6, 13):
        for j in range(0, 10, 2):
            put(f"src/d{i}/f{i}-{j}.txt", f"rewritten {i} {j}\n" * 30)
    for i in range(13, 16):
        os.rename(f"{d}/src/d{i}", f"{d}/src/m{i}")
    for i in range(16, 20):
        subprocess.run(["rm", "-r", f"{d}/src/d{i}/sub"], check=True)
        put(f"src/d{i}/sub", "a file now\n")
    git("add", "-A")
    git("commit", "-q", "-m", "other")
    git("checkout", "-q", "main")


# --- What traced processes did. ------------------------------------------------------------

# The path arguments of the calls that make, change or remove names: (dirfd, path) argument
# positions, dirfd None for the working directory. Descriptors are judged by strace's -y
# decoration (the path behind them), opens by the path of the descriptor they return.
PATH_ARGS = {
    "mkdir": [(None, 0)], "mkdirat": [(0, 1)], "rmdir": [(None, 0)],
    "unlink": [(None, 0)], "unlinkat": [(0, 1)],
    "rename": [(None, 0), (None, 1)], "renameat": [(0, 1), (2, 3)],
    "renameat2": [(0, 1), (2, 3)], "link": [(None, 0), (None, 1)], "linkat": [(0, 1), (2, 3)],
    "symlink": [(None, 1)], "symlinkat": [(1, 2)], "chmod": [(None, 0)], "fchmodat": [(0, 1)],
    "chown": [(None, 0)], "lchown": [(None, 0)], "fchownat": [(0, 1)], "utime": [(None, 0)],
    "utimes": [(None, 0)], "futimesat": [(0, 1)], "utimensat": [(0, 1)],
    "truncate": [(None, 0)], "setxattr": [(None, 0)], "lsetxattr": [(None, 0)],
    "removexattr": [(None, 0)], "lremovexattr": [(None, 0)], "mknod": [(None, 0)],
    "mknodat": [(0, 1)], "chdir": [(None, 0)],
}
OPENS = {"open", "openat", "openat2", "creat"}
FORKS = {"clone", "clone3", "fork", "vfork"}
TRACED = sorted(set(PATH_ARGS) | OPENS | FORKS |
                {"fchdir", "fchmod", "fchown", "ftruncate", "fsetxattr", "fremovexattr"})
LINE = re.compile(r"(\d+\.\d+) (\w+)\((.*)\) += (.*)$")
DECORATION = re.compile(r"(\w+)<((?:[^>\\]|\\.)*)>")


def unquote(s):
    """strace's C-style escapes (\\n, \\", \\ooo, \\xhh) back to the name."""
    raw = s.encode("latin-1", "backslashreplace").decode("unicode_escape").encode("latin-1")
    return os.fsdecode(raw)


def split_args(s):
    out, cur, depth, i = [], [], 0, 0
    while i < len(s):
        c = s[i]
        if c == '"':
            j = i + 1
            while s[j] != '"':
                j += 2 if s[j] == "\\" else 1
            cur.append(s[i:j + 1])
            i = j + 1
            continue
        if c == "<" and cur and (cur[-1][-1:].isalnum() or cur[-1][-1:] == "_"):
            j = s.index(">", i)
            cur.append(s[i:j + 1])
            i = j + 1
            continue
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "," and depth == 0:
            out.append("".join(cur).strip())
            cur, i = [], i + 1
            continue
        cur.append(c)
        i += 1
    out.append("".join(cur).strip())
    return out


def fd_path(arg):
    m = DECORATION.fullmatch(arg)
    if not m:
        return None
    p = unquote(m.group(2)).removesuffix(" (deleted)")
    return p if p.startswith("/") else None


def read_trace(prefix):
    """Every call of every traced process as (time, pid, name, args, result), in time order
    (strace -ttt stamps a call when it starts)."""
    calls = []
    for path in glob.glob(prefix + ".*"):
        pid = int(path.rsplit(".", 1)[1])
        pending = ""
        with open(path, encoding="latin-1") as f:
            for line in f:
                line = line.rstrip("\n")
                if line.endswith("<unfinished ...>"):
                    pending = line[: -len("<unfinished ...>")]
                    continue
                m = re.search(r"<\.\.\. \w+ resumed>", line)
                if m:
                    line, pending = pending + line[m.end():], ""
                m = LINE.match(line)
                if m:
                    calls.append((float(m.group(1)), pid, m.group(2), m.group(3), m.group(4)))
    calls.sort(key=lambda c: c[0])
    return calls


def record_trace(rec, cwd0, prefix):
    cwd = {}
    for _, pid, name, args, result in read_trace(prefix):
        here = cwd.setdefault(pid, cwd0)
        for m in re.finditer(r"AT_FDCWD<((?:[^>\\]|\\.)*)>", args):
            here = cwd[pid] = unquote(m.group(1))
        for m in DECORATION.finditer(args + " " + result):
            if p := fd_path(m.group(0)):
                rec.add(p)
        if result.startswith(("-1", "?")):
            continue
        if name in FORKS:
            cwd[int(result.split()[0])] = here
            continue
        if name == "fchdir":
            cwd[pid] = fd_path(args.strip()) or here
        if name not in PATH_ARGS:
            continue  # the descriptors' decorations are all there is to take
        a = split_args(args)
        paths = []
        for dirfd, i in PATH_ARGS[name]:
            if i >= len(a) or not a[i].startswith('"'):
                continue
            p = unquote(a[i][1:-1])
            if not p:
                continue
            base = here if dirfd is None else (fd_path(a[dirfd]) or here)
            paths.append(os.path.normpath(os.path.join(base, p)))
        if name == "chdir" and paths:
            cwd[pid] = paths[0]
        elif name.startswith("rename") and len(paths) == 2:
            rec.add(paths[0])
            rec.rename(paths[0], paths[1], "RENAME_EXCHANGE" in args)
        else:
            for p in paths:
                rec.add(p)
            if paths and name in ("rmdir", "unlink", "unlinkat"):
                rec.remove(paths[0])


# --- The judgement. -------------------------------------------------------------------------

DROPPED = {"kernel-dropped", "user-dropped"}
# Written during the workloads by others than the workload: the daemon's history, the
# chroot's /tmp (sockets), and the markers that separate the workloads.
OTHERS = ("/.vantlesd", "/tmp", "/w/.marks")


def under(path, top):
    return path == top or path.startswith(top.rstrip("/") + "/")


def accepted_paths(record, top):
    ok = set()
    for p in record | {top}:
        while p not in ok:
            ok.add(p)
            p = os.path.dirname(p)
    return ok


def report(events_path, check, specs):
    events, unreadable = [], 0
    with open(events_path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            try:
                events.append(json.loads(line))
            except ValueError:
                unreadable += 1
    starts = []
    for spec in specs:
        n = spec.split("|")[0]
        marker = f"/w/.marks/{n}-start"
        starts.append(next((i for i, e in enumerate(events) if e.get("path") == marker),
                           len(events)))
    starts.append(len(events))
    rows, details, failed = [], [], False
    for k, spec in enumerate(specs):
        n, label, top, record_file, seconds = spec.split("|")
        rec = Record("/", record_file)
        ok = accepted_paths(rec.ever, top)
        count, dropped, wrong, reported, last = 0, [], [], set(), "-"
        for e in events[starts[k]:starts[k + 1]]:
            path, flags = e.get("path", ""), set(e.get("flags", []))
            if flags & DROPPED:
                dropped.append((e, last))
            elif any(under(path, o) for o in OTHERS):
                continue
            elif path not in ok:
                wrong.append(e)
            reported.add(os.path.basename(path))
            last = path
            count += 1
        unreported = sorted(rec.files - reported)
        failed |= bool(dropped or wrong or unreported or count == 0)
        rows.append(f"| {n}. {label} | {count} | {len(dropped)} | {len(wrong)} | "
                    f"{len(unreported) if rec.files else '-'} |")
        details.append(f"- {n}. {label}: {seconds} s; {len(rec.ever)} paths recorded under {top}"
                       + ("; no events at all" if count == 0 else ""))
        for e, after in dropped[:3]:
            details.append(f"  - dropped: {','.join(e['flags'])} (id {e['id']}) after {after}")
        for e in wrong[:5]:
            details.append(f"  - wrong: {e['path']} ({','.join(e['flags'])}, id {e['id']})")
        if unreported:
            details.append(f"  - never reported: {', '.join(unreported[:5])}")
        for what, items in (("dropped notices", dropped), ("wrong paths", wrong)):
            if len(items) > (3 if items is dropped else 5):
                details.append(f"  - {len(items)} {what} in all")
    print("| workload | events | dropped notices | wrong paths | files never reported |")
    print("|---|---|---|---|---|")
    print("\n".join(rows))
    print()
    print("\n".join(details))
    if unreadable:
        print(f"- {unreadable} lines of the client's output were not JSON")
    return 1 if check and failed else 0


def main(argv):
    cmd, args = argv[1], argv[2:]
    quick = "--quick" in args
    args = [a for a in args if a != "--quick"]
    if cmd == "pretrees":
        pretrees(args[1], int(args[2]))
    elif cmd == "list":
        rec = Record(args[0], args[2])
        for d, dirs, files in os.walk(args[1]):
            for name in [""] + dirs + files:
                rec.add(os.path.join(d, name))
        rec.save()
    elif cmd == "run":
        rec = Record(args[1], args[3])
        if args[0] == "short":
            short_lived(rec, args[2], 5 if quick else 10, 30)
        elif args[0] == "rmrf":
            remove_trees(rec, args[2])
        else:
            # Two swaps in the quick run: a third repeats the first's renames, which the kernel
            # merges into the first's if the daemon has not read them yet, a known limit of
            # the naming (docs/permissions-and-limits.md) that the full run shows under load.
            renames(rec, args[2], 30 if quick else 50, 15 if quick else 25, 2 if quick else 20)
        rec.save()
    elif cmd == "origin":
        origin(args[0])
    elif cmd == "strace":
        rec = Record(args[0], args[2])
        record_trace(rec, args[1], args[3])
        rec.save()
    elif cmd == "report":
        check = "--check" in args
        return report(args[0], check, [a for a in args[1:] if a != "--check"])
    elif cmd == "traced":
        print(",".join(TRACED))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

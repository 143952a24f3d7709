#!/usr/bin/env python3
"""Mirror benchmark: the twinfold program (as a user runs it from the command
line) and the twinfold-mirror developer driver against rsync, rclone and cp -a.

Builds deterministic workloads outside the repository, then times every tool
on every workload in interleaved rounds (A, B, C, D, A, B, C, D, ...) so that
disk noise hits all tools alike. See bench/README.md.
"""

import argparse
import datetime
import fcntl
import json
import os
import platform
import pwd
import random
import re
import shutil
import stat
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_DRIVER = os.path.join(REPO, "build-bench", "tools", "twinfold-mirror")
# The program moved from src/runctl to src/app; either build is found.
DEFAULT_PROGRAMS = [os.path.join(REPO, "build-bench", "src", d, "twinfold") for d in ("app", "runctl")]
SEED = 20240611
# Fixed base time for every generated file, so two generations of a workload
# are identical down to the modification times.
BASE_NS = 1_600_000_000 * 10**9
KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB

# Workload sizes (full run). --quick divides the counts by 10 and makes the
# big files 64 MiB.
FULL = {
    "w1_files": 50_000, "w1_dirs": 2_000, "w1_max": 16 * KIB,
    "w4_count": 2, "w4_size": 1 * GIB,
    "w5_files": 300_000, "w5_dirs": 10_000, "w5_max": 4 * KIB,
    "w6_files": 3_000_000, "w6_dirs": 100_000,
}
QUICK = {
    "w1_files": 5_000, "w1_dirs": 200, "w1_max": 16 * KIB,
    "w4_count": 2, "w4_size": 64 * MIB,
    "w5_files": 30_000, "w5_dirs": 1_000, "w5_max": 4 * KIB,
    "w6_files": 300_000, "w6_dirs": 10_000,
}
WORKLOADS = ["W1", "W2", "W2cold", "W3", "W4", "W5", "W6"]
WL_LABEL = {"W2cold": "W2 cold"}

# The targets hold for the program ("twf") at its defaults; the driver's
# rows are reported beside it without targets.
TARGETS = [
    # (workload, numerator tool, denominator tool, limit, text)
    ("W1", "twf", "rsync", 0.5, "W1 initial mirror <= 0.5 x rsync"),
    ("W1", "twf", "cp", 1.2, "W1 initial mirror <= 1.2 x cp -a"),
    ("W2", "twf", "rsync", 0.4, "W2 no-change re-run <= 0.4 x rsync"),
    ("W2cold", "twf", "rsync", 0.6, "W2 cold (caches dropped) <= 0.6 x rsync"),
    ("W3", "twf", "rsync", 0.5, "W3 5 % changed, 2.5 % added, 2.5 % deleted <= 0.5 x rsync"),
    ("W4", "twf", "cp", 1.15, "W4 two big files <= 1.15 x cp -a (at exit)"),
    ("W5", "twf", "rsync", 0.4, "W5 no-change re-run, many small files <= 0.4 x rsync"),
    ("W6", "twf", "rsync", 0.4, "W6 no-change re-run, millions of files <= 0.4 x rsync"),
]
# Net peak memory of the program (its peak RSS minus that of the same
# program mirroring a one-file tree) against rsync's whole peak RSS.
MEMORY_TARGETS = [("W5", 1.0), ("W6", 2.0)]
W1_RUNS = "w1-runs"  # the destinations of W1 and W3, removed at the end
W3_RUNS = "w3-runs"
# On ext4 without a journal, inodes freed less than a minute ago (five if
# their inode-table block is dirty) slow every file creation down; W1 and W3
# start only this long after the last large deletion.
DELETE_SETTLE_S = 360


def log(msg):
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", flush=True)


def sh(argv, check=True, **kw):
    return subprocess.run(argv, check=check, **kw)


# ---------------------------------------------------------------- set-up


def ensure_tools(need_rclone=True):
    """Installs the peers from Debian's packages when they are missing."""
    wanted = {"rsync": "rsync", "/usr/bin/time": "time"}
    if need_rclone:
        wanted["rclone"] = "rclone"
    missing = [pkg for exe, pkg in wanted.items() if shutil.which(exe) is None]
    if not missing:
        return
    if os.geteuid() != 0:
        sys.exit(f"missing tools; run: apt-get install -y {' '.join(missing)}")
    log(f"installing {' '.join(missing)} with apt-get")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    sh(["apt-get", "update", "-q"], env=env, stdout=subprocess.DEVNULL)
    sh(["apt-get", "install", "-y", "-q"] + missing, env=env, stdout=subprocess.DEVNULL)


def machine_facts(root):
    def out(argv):
        try:
            return subprocess.run(argv, capture_output=True, text=True).stdout.strip()
        except OSError:
            return ""
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "nproc": out(["nproc"]),
        "cpu": cpu,
        "kernel": platform.release(),
        "free_h": out(["free", "-h"]),
        "df_h": out(["df", "-h", root]),
        "fstype": out(["findmnt", "-n", "-o", "FSTYPE", "-T", root]),
        "mount_options": out(["findmnt", "-n", "-o", "OPTIONS", "-T", root]),
        "rsync": out(["rsync", "--version"]).splitlines()[0] if shutil.which("rsync") else "",
        "rclone": out(["rclone", "--config", "/dev/null", "version"]).splitlines()[0]
        if shutil.which("rclone") else "",
        "cp": out(["cp", "--version"]).splitlines()[0],
        "commit": out(["git", "-C", REPO, "log", "-1", "--format=%h %s"]),
        "engine_dirty": out(["git", "-C", REPO, "status", "--porcelain", "--", "src/engine", "src/platform"]),
    }


# ---------------------------------------------------------------- workloads


class Pool:
    """Deterministic random bytes: slices of one seeded 8 MiB block."""

    def __init__(self, seed):
        self.data = random.Random(seed).randbytes(8 * MIB)

    def take(self, rng, n):
        off = rng.randrange(0, len(self.data) - n + 1) if n < len(self.data) else 0
        return self.data[off:off + n]


def stamp_path(root, name):
    return os.path.join(root, "stamps", name + ".json")


def is_built(root, name, params):
    try:
        with open(stamp_path(root, name)) as f:
            return json.load(f) == params and os.path.isdir(os.path.join(root, name))
    except (OSError, ValueError):
        return False


def mark_built(root, name, params):
    os.makedirs(os.path.join(root, "stamps"), exist_ok=True)
    with open(stamp_path(root, name), "w") as f:
        json.dump(params, f)


def unmark(root, name):
    try:
        os.unlink(stamp_path(root, name))
    except FileNotFoundError:
        pass


def rmtree(path):
    if os.path.lexists(path):
        sh(["rm", "-rf", "--", path])


def build_tree(root, name, params, what, fill):
    """root/name as fill(tmp) makes it, unless a finished one with these params is there.

    The tree is made under another name and stamped only once renamed, so an
    interrupted build is made again rather than measured.
    """
    final = os.path.join(root, name)
    if is_built(root, name, params):
        log(f"reusing {final}")
        return final
    log(f"generating {final}{what}")
    unmark(root, name)
    tmp = final + ".tmp"
    rmtree(tmp)
    rmtree(final)
    t0 = time.time()
    fill(tmp)
    os.rename(tmp, final)
    os.sync()
    mark_built(root, name, params)
    log(f"generated {final} in {time.time() - t0:.0f} s")
    return final


def folder_list(ndirs):
    """ndirs folders in two levels: ndirs/50 top folders holding the rest."""
    tops = max(1, ndirs // 50)
    dirs = [f"d{t:03d}" for t in range(tops)]
    for i in range(ndirs - tops):
        dirs.append(f"d{i % tops:03d}/s{i // tops:03d}")
    return dirs


def write_file(path, data, mtime_ns):
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, ns=(mtime_ns, mtime_ns))


def make_small_tree(root, name, nfiles, ndirs, maxsize, seed):
    """nfiles files of 0..maxsize bytes spread at random over ndirs folders."""
    params = {"kind": "small", "files": nfiles, "dirs": ndirs, "max": maxsize, "seed": seed}
    def fill(tmp):
        rng = random.Random(seed)
        pool = Pool(seed)
        dirs = folder_list(ndirs)
        for d in dirs:
            os.makedirs(os.path.join(tmp, d))
        for i in range(nfiles):
            d = dirs[rng.randrange(len(dirs))]
            size = rng.randint(0, maxsize)
            mtime = BASE_NS + rng.randrange(0, 365 * 86400 * 10**9)
            write_file(os.path.join(tmp, d, f"f{i:06d}.dat"), pool.take(rng, size), mtime)
        for d in reversed(dirs):
            os.utime(os.path.join(tmp, d), ns=(BASE_NS, BASE_NS))

    return build_tree(root, name, params, f": {nfiles} files in {ndirs} folders, 0-{maxsize} B", fill)


def make_changed_tree(root, name, base, basename, nfiles_hint, maxsize, seed):
    """A copy of base with 5 % of the files changed, 2.5 % added, 2.5 % deleted."""
    params = {"kind": "changed", "base": basename, "seed": seed, "max": maxsize,
              "base_stamp": json.load(open(stamp_path(root, basename)))}
    def fill(tmp):
        sh(["cp", "-a", base, tmp])
        files = []
        for dirpath, _dirs, names in os.walk(tmp):
            for n in names:
                files.append(os.path.relpath(os.path.join(dirpath, n), tmp))
        files.sort()
        dirs = sorted({os.path.dirname(f) for f in files} | set(folder_list_from(tmp)))
        rng = random.Random(seed)
        pool = Pool(seed + 1)
        n = len(files)
        picked = rng.sample(files, n // 10)  # first half changed, second half deleted
        changed, deleted = picked[: n // 20], picked[n // 20: n // 20 + n // 40]
        touched_dirs = set()
        for rel in changed:
            p = os.path.join(tmp, rel)
            os.unlink(p)
            size = rng.randint(0, maxsize)
            mtime = BASE_NS + 400 * 86400 * 10**9 + rng.randrange(0, 86400 * 10**9)
            write_file(p, pool.take(rng, size), mtime)
        for rel in deleted:
            os.unlink(os.path.join(tmp, rel))
            touched_dirs.add(os.path.dirname(rel))
        for i in range(n // 40):
            d = dirs[rng.randrange(len(dirs))]
            size = rng.randint(0, maxsize)
            mtime = BASE_NS + 400 * 86400 * 10**9 + rng.randrange(0, 86400 * 10**9)
            write_file(os.path.join(tmp, d, f"n{i:06d}.dat"), pool.take(rng, size), mtime)
            touched_dirs.add(d)
        for d in touched_dirs:
            t = BASE_NS + 400 * 86400 * 10**9
            os.utime(os.path.join(tmp, d), ns=(t, t))

    return build_tree(root, name, params, f" from {base}", fill)


def folder_list_from(top):
    out = []
    for dirpath, dirs, _names in os.walk(top):
        for d in dirs:
            out.append(os.path.relpath(os.path.join(dirpath, d), top))
    return out


def make_big_tree(root, name, count, size, seed):
    params = {"kind": "big", "count": count, "size": size, "seed": seed}
    def fill(tmp):
        os.makedirs(tmp)
        pool = Pool(seed).data
        chunk = 4 * MIB
        for k in range(count):
            p = os.path.join(tmp, f"big{k}.bin")
            with open(p, "wb") as f:
                done = 0
                i = 0
                while done < size:
                    n = min(chunk, size - done)
                    # Each chunk is unique: a counter header over a rotating slice.
                    off = (i * 65_537 + k * 1_048_573) % (len(pool) - chunk)
                    block = bytearray(pool[off:off + n])
                    block[:16] = (k * 1_000_003 + i).to_bytes(16, "little")
                    f.write(block)
                    done += n
                    i += 1
            os.utime(p, ns=(BASE_NS, BASE_NS))

    return build_tree(root, name, params, f": {count} files of {size // MIB} MiB", fill)


# Creates the W6 trees: millions of files are too many for a Python loop to
# write in reasonable time. Folder d (in the order of folder_list) holds the
# files d, d + ndirs, d + 2 ndirs, ...; most are empty, one in 64 holds 1-100
# bytes. Names, sizes and times follow from the seed alone.
MKMANY_C = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static unsigned long long state;
static unsigned long long next(void) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return state >> 17;
}
static void folder(long d, long tops, char* rel) {
  if (d < tops) sprintf(rel, "d%03ld", d);
  else sprintf(rel, "d%03ld/s%03ld", (d - tops) % tops, (d - tops) / tops);
}
static int fail(const char* what) { perror(what); return 1; }

int main(int argc, char** argv) {
  if (argc != 6) { fprintf(stderr, "usage: mkmany TOP FILES DIRS SEED BASE_NS\n"); return 2; }
  long nfiles = atol(argv[2]), ndirs = atol(argv[3]);
  state = strtoull(argv[4], 0, 10);
  long long base = atoll(argv[5]);
  long tops = ndirs / 50 > 0 ? ndirs / 50 : 1;
  char rel[64], name[64], data[256];
  for (int i = 0; i < 256; ++i) data[i] = (char)('a' + i % 26);
  umask(022);
  if (mkdir(argv[1], 0755) != 0) return fail(argv[1]);
  int top = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) return fail(argv[1]);
  for (long d = 0; d < ndirs; ++d) {
    folder(d, tops, rel);
    if (mkdirat(top, rel, 0755) != 0) return fail(rel);
  }
  long made = 0;
  for (long d = 0; d < ndirs; ++d) {
    folder(d, tops, rel);
    int dir = openat(top, rel, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return fail(rel);
    for (long i = d; i < nfiles; i += ndirs) {
      unsigned long long r = next();
      sprintf(name, "f%07ld.dat", i);
      int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0) return fail(name);
      if (i % 64 == 0) {
        size_t n = 1 + r % 100;
        if (write(fd, data + r % 128, n) != (ssize_t)n) return fail(name);
      }
      long long t = base + (long long)(r % (365ULL * 86400)) * 1000000000LL + (long long)(next() % 1000000000ULL);
      struct timespec ts[2] = {{t / 1000000000LL, t % 1000000000LL}, {t / 1000000000LL, t % 1000000000LL}};
      if (futimens(fd, ts) != 0 || close(fd) != 0) return fail(name);
      if (++made % 250000 == 0) fprintf(stderr, "  %ld of %ld files\n", made, nfiles);
    }
    close(dir);
  }
  struct timespec bt[2] = {{base / 1000000000LL, base % 1000000000LL}, {base / 1000000000LL, base % 1000000000LL}};
  for (long d = ndirs - 1; d >= 0; --d) {
    folder(d, tops, rel);
    if (utimensat(top, rel, bt, 0) != 0) return fail(rel);
  }
  return 0;
}
"""


def mkmany_helper(root):
    """Compiles the W6 generator once into ROOT/tools (None without a C compiler)."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        return None
    tools = os.path.join(root, "tools")
    os.makedirs(tools, exist_ok=True)
    src, exe = os.path.join(tools, "mkmany.c"), os.path.join(tools, "mkmany")
    try:
        with open(src) as f:
            same = f.read() == MKMANY_C
    except OSError:
        same = False
    if not same or not os.access(exe, os.X_OK):
        with open(src, "w") as f:
            f.write(MKMANY_C)
        sh([cc, "-O2", "-o", exe, src])
    return exe


def write_many_python(top, nfiles, ndirs, seed):
    """The same tree as MKMANY_C, slower (where there is no C compiler)."""
    state = seed
    mask = (1 << 64) - 1

    def nxt():
        nonlocal state
        state = (state * 6364136223846793005 + 1442695040888963407) & mask
        return state >> 17
    data = bytes(ord("a") + i % 26 for i in range(256))
    dirs = folder_list(ndirs)
    os.makedirs(top)
    for d in dirs:
        os.mkdir(os.path.join(top, d))
    made = 0
    for d, rel in enumerate(dirs):
        for i in range(d, nfiles, ndirs):
            r = nxt()
            p = os.path.join(top, rel, f"f{i:07d}.dat")
            fd = os.open(p, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            if i % 64 == 0:
                os.write(fd, data[r % 128: r % 128 + 1 + r % 100])
            t = BASE_NS + (r % (365 * 86400)) * 10**9 + nxt() % 10**9
            os.utime(fd, ns=(t, t))
            os.close(fd)
            made += 1
            if made % 250_000 == 0:
                log(f"  {made} of {nfiles} files")
    for rel in reversed(dirs):
        os.utime(os.path.join(top, rel), ns=(BASE_NS, BASE_NS))


def make_many_tree(root, name, nfiles, ndirs, seed):
    """nfiles mostly empty files in ndirs folders; the same tree for every name."""
    params = {"kind": "many", "files": nfiles, "dirs": ndirs, "seed": seed}
    def fill(tmp):
        exe = mkmany_helper(root)
        if exe:
            sh([exe, tmp, str(nfiles), str(ndirs), str(seed), str(BASE_NS)])
        else:
            log("no C compiler: generating with Python (slower)")
            write_many_python(tmp, nfiles, ndirs, seed)

    return build_tree(root, name, params,
                      f": {nfiles} files in {ndirs} folders (takes a while; progress below)", fill)


def ensure_mirror(src, dst):
    """Makes dst an exact mirror of src (untimed preparation)."""
    if not os.path.isdir(dst):
        rmtree(dst)
        sh(["cp", "-a", src, dst])
    else:
        sh(["rsync", "-a", "--delete", src + "/", dst + "/"])
    os.sync()


def mirror_differences(src, dst):
    """Entries that differ in presence, size, time or mode (folder times ignored)."""
    p = subprocess.run(["rsync", "-ani", "--delete", src + "/", dst + "/"],
                       capture_output=True, text=True)
    lines = [l for l in p.stdout.splitlines() if l and not l.startswith(".d")]
    return lines


def warm_source(src):
    """Reads every file, so the copy finds the source in the page cache."""
    buf = bytearray(8 * MIB)
    for dirpath, _dirs, names in os.walk(src):
        for n in names:
            with open(os.path.join(dirpath, n), "rb", buffering=0) as f:
                while f.readinto(buf):
                    pass


def warm_metadata(*tops):
    """Stats every entry, so a re-run finds the inodes and folders cached.

    du does it in C: a Python walk over W6's six million entries would take
    longer than the run it prepares."""
    sh(["du", "-s", "--", *tops], stdout=subprocess.DEVNULL)


def content_differences(src, dst):
    """Like mirror_differences, but compares file contents (checksums)."""
    p = subprocess.run(["rsync", "-anic", "--delete", src + "/", dst + "/"],
                       capture_output=True, text=True)
    return [l for l in p.stdout.splitlines() if l and not l.startswith(".d")]


def remove_destinations(root, dirs):
    """Deletes the per-run destinations and notes when, for the next run."""
    if not any(os.path.exists(d) for d in dirs):
        return
    for d in dirs:
        rmtree(d)
    os.sync()
    os.makedirs(os.path.join(root, "stamps"), exist_ok=True)
    with open(os.path.join(root, "stamps", "deleted-at"), "w") as f:
        f.write(f"{time.time():.0f}\n")


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def count_files(top):
    n = 0
    for _dirpath, _dirs, names in os.walk(top):
        n += len(names)
    return n


# ---------------------------------------------------------------- tools


TOOL_LABEL = {
    "twf": "twinfold /task_file /run /close", "drv": "twinfold-mirror (driver)",
    "drv-v64": "twinfold-mirror --verify 64", "rsync": "rsync -a --delete", "rclone": "rclone sync",
    "cp": "cp -a",
}


def default_workers():
    # The program's own default for a task: the logical processors, 1 to 64.
    return min(64, max(1, os.sysconf("SC_NPROCESSORS_ONLN")))


class Tools:
    """How each tool is started.

    The program runs as a scheduler would start it: `/task_file:<ini> /run
    /close`, no display, a task file per workload in the bench root, and a
    home (settings store, runtime folder) of its own under the bench root."""

    def __init__(self, program, driver, root):
        self.program, self.driver, self.root = program, driver, root
        self.home = program_home(root)
        # Each benchmark starts from the program's defaults: a store left by
        # an earlier run (or an older build) may hold other settings, such as
        # a longer exclusion list, and the runs save their settings into it.
        for sub in (".config", ".local"):
            shutil.rmtree(os.path.join(self.home, sub), ignore_errors=True)
        self.tasks = os.path.join(root, "twf-tasks")
        # As root the program refuses a task file that anyone else could change.
        own_folder(self.tasks)
        self.workers = default_workers()
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                   XDG_DATA_HOME=os.path.join(self.home, ".local", "share"),
                   XDG_STATE_HOME=os.path.join(self.home, ".local", "state"),
                   XDG_CACHE_HOME=os.path.join(self.home, ".cache"),
                   XDG_RUNTIME_DIR=os.path.join(self.home, "run"))
        self.env = env

    def task_file(self, wl, src, dst):
        """The workload's task file: the program's defaults but for the folders.

        Workers is the default written out (so the log shows it); LogEnabled=0,
        the default too, keeps the log on standard output only, never in the
        destination."""
        path = os.path.join(self.tasks, f"{wl}.ini")
        text = (f"[Task]\nSource={src}\nDest={dst}\nWorkers={self.workers}\nLogEnabled=0\n"
                f"\n[Meta]\nName=bench-{wl}\n")
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(text)
        return path

    def argv(self, tool, wl, src, dst):
        if tool == "twf":
            return [self.program, "/task_file:" + self.task_file(wl, src, dst), "/run", "/close"]
        if tool == "drv":
            return [self.driver, "--quiet", src, dst]
        if tool == "drv-v64":
            return [self.driver, "--quiet", "--verify", "64", src, dst]
        if tool == "rsync":
            return ["rsync", "-a", "--delete", src + "/", dst + "/"]
        if tool == "rclone":
            # Plain local-to-local sync with default settings (size + time
            # comparison, 4 transfers, 8 checkers, MD5 check of each copy).
            return ["rclone", "--config", "/dev/null", "-q", "sync", src, dst]
        if tool == "cp":
            return ["cp", "-a", src, dst]
        raise ValueError(tool)

    def run(self, tool, wl, src, dst):
        argv = self.argv(tool, wl, src, dst)
        if tool == "twf":
            # Its log lines go to a file, as a cron job's would.
            return run_timed(argv, env=self.env, out=os.path.join(self.home, f"{wl}.out"))
        return run_timed(argv)

    def baselines(self, tools):
        """Peak RSS (KiB) of each tool mirroring a one-file tree into a new folder."""
        src = os.path.join(self.root, "one-src")
        if not os.path.isfile(os.path.join(src, "one.dat")):
            rmtree(src)
            os.makedirs(src)
            write_file(os.path.join(src, "one.dat"), b"x" * 100, BASE_NS)
        dst = os.path.join(self.root, "one-dst")
        out = {}
        for t in tools:
            rmtree(dst)
            out[t] = self.run(t, "one-file", src, dst)["rss_kib"]
        rmtree(dst)
        return out


def own_folder(path, mode=0o700):
    """path as a folder of this user's, made when missing. Never a link nor
    anyone else's: as root the benchmark writes through it, and the scratch
    home is mounted over root's home."""
    try:
        os.mkdir(path, mode)
    except FileExistsError:
        pass
    st = os.lstat(path)
    if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.geteuid():
        sys.exit(f"{path} is not a folder of this user's (a link, or someone else's); remove it first")
    os.chmod(path, mode)
    return path


def check_root_folder(root):
    """As root, the workload folder must be root's: the benchmark writes,
    chmods and removes below it, and a folder someone else owns (for example
    made beforehand in /var/tmp) could send that anywhere."""
    if os.geteuid() != 0:
        return
    st = os.stat(root)
    if st.st_uid != 0:
        sys.exit(f"{root} belongs to uid {st.st_uid}; as root the workload folder must be root's")


def program_home(root):
    home = own_folder(os.path.join(root, "twf-home"))
    own_folder(os.path.join(home, "run"))
    return home


def in_own_mount_namespace():
    """True when this process's mount namespace is not that of the process
    that started it: a mount made here is then seen by no one else."""
    try:
        mine = os.stat("/proc/self/ns/mnt").st_ino
        starter = os.stat(f"/proc/{os.getppid()}/ns/mnt").st_ino
    except OSError:
        return False
    return mine != starter


def enter_private_home(root):
    """As root the program takes its settings store from root's home in the
    user database, whatever HOME says. So the benchmark re-runs itself in a
    private mount namespace and mounts the scratch home over root's home
    there: the program then never sees the real store, and nothing outside
    this process tree sees the mount."""
    if os.geteuid() != 0:
        return
    if os.environ.get("TWF_BENCH_PRIVATE_HOME") != "1":
        if shutil.which("unshare") is None:
            sys.exit("running as root needs unshare (util-linux) to keep the program off root's settings")
        env = dict(os.environ, TWF_BENCH_PRIVATE_HOME="1")
        argv = ["unshare", "--mount", "--propagation", "private", sys.executable,
                os.path.abspath(__file__)] + sys.argv[1:]
        os.execvpe("unshare", argv, env)
    # The variable alone proves nothing (it may come from outside): a mount
    # made in the starter's namespace would outlive the benchmark.
    if not in_own_mount_namespace():
        sys.exit("not in a private mount namespace: refusing to mount over root's home")
    real = pwd.getpwuid(0).pw_dir
    sh(["mount", "--bind", program_home(root), real])


def run_timed(argv, env=None, out=None):
    """Wall time of the tool, then of the sync that flushes what it wrote.

    out: a file for the tool's standard output and error (default: a pipe)."""
    fd, tfile = tempfile.mkstemp(prefix="twf-time-")
    os.close(fd)
    sink = open(out, "wb") if out else None
    try:
        t0 = time.perf_counter()
        p = subprocess.run(["/usr/bin/time", "-v", "-o", tfile] + argv, env=env,
                           stdout=sink or subprocess.PIPE, stderr=sink or subprocess.PIPE)
        t1 = time.perf_counter()
        os.sync()
        t2 = time.perf_counter()
        with open(tfile) as f:
            tv = f.read()
    finally:
        os.unlink(tfile)
        if sink:
            sink.close()
    if p.returncode != 0:
        if out:
            with open(out, "rb") as f:
                said = f.read()[-4000:].decode(errors="replace")
        else:
            said = p.stdout.decode(errors="replace")[-2000:] + p.stderr.decode(errors="replace")[-2000:]
        raise RuntimeError(f"{' '.join(argv)} exited {p.returncode}:\n{said}")

    def field(name):
        m = re.search(re.escape(name) + r":\s*([0-9.]+)", tv)
        return float(m.group(1)) if m else None
    return {
        "wall": t1 - t0, "sync": t2 - t1, "wall_sync": t2 - t0,
        "user": field("User time (seconds)"), "sys": field("System time (seconds)"),
        "rss_kib": field("Maximum resident set size (kbytes)"),
    }


# ---------------------------------------------------------------- rounds


def run_workload(wl, tools, rounds, prepare, run_for, ctx, check=None, cold=False, warmup=None, warm=None):
    """Interleaved rounds: every tool once per round, in the same order.

    prepare(tool) resets the destination; warm() brings the source back into
    the page cache (something on a shared machine may have evicted it);
    run_for(tool) runs the tool once, timed;
    check(tool, first_round) lists differences left after the run. Each
    tool's memory baseline (a one-file tree) is measured once, before the
    rounds.
    """
    results = {t: [] for t in tools}
    loads = []
    baseline = ctx.baselines(tools)
    if warmup:
        warmup()
    for r in range(rounds):
        load = open("/proc/loadavg").read().split()[0]
        loads.append(float(load))
        for t in tools:
            prepare(t)
            if cold:
                drop_caches()
            elif warm:
                warm()
            res = run_for(t)
            res["load"] = float(open("/proc/loadavg").read().split()[0])
            if check:
                bad = check(t, r == 0)
                if bad:
                    raise RuntimeError(f"{wl} {t}: destination is not a mirror after the run: "
                                       f"{len(bad)} difference(s), e.g. {bad[:5]}")
            results[t].append(res)
            log(f"{wl} round {r + 1}/{rounds} {t:8s} {res['wall']:8.3f} s"
                f"  (+sync {res['sync']:.3f} s, rss {res['rss_kib'] / 1024:.1f} MiB, "
                f"net {(res['rss_kib'] - baseline[t]) / 1024:.1f} MiB)  load {load}")
    return {"tools": tools, "rounds": rounds, "runs": results, "load": loads, "cold": cold,
            "baseline_kib": baseline}


def bench_w1(args, root, sz, ctx):
    src = make_small_tree(root, "w1-src", sz["w1_files"], sz["w1_dirs"], sz["w1_max"], SEED)
    # Every run writes a new destination, and none is deleted until the end
    # of the benchmark: on ext4 without a journal, creating files right after
    # tens of thousands were deleted is several times slower (the inode
    # allocator skips and re-examines recently freed inodes for minutes), which
    # made the same cp -a take anything from 3 to 30 s.
    runs = os.path.join(root, W1_RUNS)
    os.makedirs(runs, exist_ok=True)
    tools = ["twf", "drv"] + (["drv-v64"] if args.verify_cost else []) + ["rsync", "rclone", "cp"]
    counter = [0]
    dst = [None]

    def prepare(t):
        counter[0] += 1
        dst[0] = os.path.join(runs, f"{counter[0]:03d}-{t}")
        rmtree(dst[0])
        os.sync()

    def check(_t, first):
        # Contents are compared in the first round, sizes and times after it.
        return content_differences(src, dst[0]) if first else mirror_differences(src, dst[0])
    res = run_workload("W1", tools, args.rounds, prepare, lambda t: ctx.run(t, "W1", src, dst[0]), ctx,
                       check=check, cold=args.cold, warm=lambda: warm_source(src))
    res["files"] = sz["w1_files"]
    return res


def bench_w2(args, root, sz, ctx, cold=False):
    wl = "W2cold" if cold else "W2"
    src = make_small_tree(root, "w1-src", sz["w1_files"], sz["w1_dirs"], sz["w1_max"], SEED)
    dst = os.path.join(root, "w2-dst")
    ensure_mirror(src, dst)
    tools = ["twf", "drv", "rsync", "rclone"]

    def warmup():
        for t in tools:  # untimed: warms the caches and proves the run is a no-op
            ctx.run(t, wl, src, dst)
        bad = mirror_differences(src, dst)
        if bad:
            raise RuntimeError(f"{wl}: destination differs after warm-up: {bad[:5]}")
    res = run_workload(wl, tools, args.rounds, lambda t: None, lambda t: ctx.run(t, wl, src, dst), ctx,
                       cold=cold or args.cold, warmup=warmup, warm=lambda: warm_metadata(src, dst))
    bad = mirror_differences(src, dst)
    if bad:
        raise RuntimeError(f"{wl}: destination differs after the rounds: {bad[:5]}")
    res["files"] = sz["w1_files"]
    return res


def bench_w2cold(args, root, sz, ctx):
    """W2 with the page cache dropped before every tool: listings and inodes
    come from the disk."""
    if os.geteuid() != 0:
        log("W2 cold skipped: dropping the page cache needs root")
        return None
    return bench_w2(args, root, sz, ctx, cold=True)


def bench_w3(args, root, sz, ctx):
    base = make_small_tree(root, "w1-src", sz["w1_files"], sz["w1_dirs"], sz["w1_max"], SEED)
    src = make_changed_tree(root, "w3-src", base, "w1-src", sz["w1_files"], sz["w1_max"], SEED + 3)
    pristine = os.path.join(root, "w3-pristine")
    ensure_mirror(base, pristine)
    # Each run gets its own copy of the pre-change mirror (made untimed with
    # cp -a and flushed), for the same reason as in W1: no large deletion
    # just before a timed run. The copy is made at the same path for every
    # round of a tool, as a scheduled task mirrors into the same folder each
    # time; the previous round's tree is only renamed out of the way.
    runs = os.path.join(root, W3_RUNS)
    os.makedirs(runs, exist_ok=True)
    tools = ["twf", "drv", "rsync", "rclone"]
    counter = [0]
    dst = [None]

    def prepare(t):
        counter[0] += 1
        dst[0] = os.path.join(runs, f"dst-{t}")
        if os.path.lexists(dst[0]):
            os.rename(dst[0], os.path.join(runs, f"{counter[0]:03d}-{t}"))
        sh(["cp", "-a", pristine, dst[0]])
        os.sync()

    def check(_t, first):
        return content_differences(src, dst[0]) if first else mirror_differences(src, dst[0])

    def warm():
        warm_source(src)
        warm_metadata(dst[0])
    res = run_workload("W3", tools, args.rounds, prepare, lambda t: ctx.run(t, "W3", src, dst[0]), ctx,
                       check=check, cold=args.cold, warm=warm)
    res["files"] = count_files(src)
    return res


def bench_w4(args, root, sz, ctx):
    src = make_big_tree(root, "w4-src", sz["w4_count"], sz["w4_size"], SEED + 4)
    dst = os.path.join(root, "w4-dst")
    tools = ["twf", "drv"] + (["drv-v64"] if args.verify_cost else []) + ["rsync", "rclone", "cp"]

    def prepare(_t):
        rmtree(dst)
        os.sync()

    def check(_t, first):
        bad = mirror_differences(src, dst)
        if first and not bad:
            for n in sorted(os.listdir(src)):
                if subprocess.run(["cmp", "-s", os.path.join(src, n), os.path.join(dst, n)]).returncode:
                    bad.append(f"content of {n}")
        return bad
    res = run_workload("W4", tools, args.big_rounds, prepare, lambda t: ctx.run(t, "W4", src, dst), ctx,
                       check=check, cold=args.cold, warm=lambda: warm_source(src))
    rmtree(dst)
    res["bytes"] = sz["w4_count"] * sz["w4_size"]
    return res


def no_change_rounds(wl, args, src, dst, ctx):
    """W5 and W6: untimed warm-up runs of every tool, then the rounds; the
    destination must still be an exact mirror at the end."""
    tools = ["twf", "drv", "rsync", "rclone"]

    def warmup():
        for t in tools:
            ctx.run(t, wl, src, dst)
    res = run_workload(wl, tools, args.big_rounds, lambda t: None, lambda t: ctx.run(t, wl, src, dst), ctx,
                       cold=args.cold, warmup=warmup, warm=lambda: warm_metadata(src, dst))
    bad = mirror_differences(src, dst)
    if bad:
        raise RuntimeError(f"{wl}: destination differs after the rounds: {bad[:5]}")
    return res


def bench_w5(args, root, sz, ctx):
    src = make_small_tree(root, "w5-src", sz["w5_files"], sz["w5_dirs"], sz["w5_max"], SEED + 5)
    dst = os.path.join(root, "w5-dst")
    ensure_mirror(src, dst)
    res = no_change_rounds("W5", args, src, dst, ctx)
    res["files"] = sz["w5_files"]
    res["scanned"] = count_files(src) + count_files(dst)
    return res


def bench_w6(args, root, sz, ctx):
    # Both trees come from the generator: copying millions of files would
    # take longer than making them. The warm-up's rsync run repairs a
    # destination that an interrupted run left changed.
    src = make_many_tree(root, "w6-src", sz["w6_files"], sz["w6_dirs"], SEED + 6)
    dst = make_many_tree(root, "w6-dst", sz["w6_files"], sz["w6_dirs"], SEED + 6)
    res = no_change_rounds("W6", args, src, dst, ctx)
    res["files"] = sz["w6_files"]
    res["scanned"] = 2 * sz["w6_files"]
    return res


# ---------------------------------------------------------------- report


def med(xs):
    return statistics.median(xs)


def paired(res, a, b, key="wall"):
    """Per-round ratios a/b from the same round."""
    ra, rb = res["runs"][a], res["runs"][b]
    return [x[key] / y[key] for x, y in zip(ra, rb) if y[key] > 0]


def fmt_s(x):
    return f"{x:.3f}" if x < 10 else f"{x:.2f}"


def net_kib(res, tool):
    """Per-run peak RSS minus the tool's one-file baseline (KiB)."""
    base = res.get("baseline_kib", {}).get(tool)
    if base is None:
        return None
    return [x["rss_kib"] - base for x in res["runs"][tool]]


def report(results, facts, args):
    lines = []
    lines.append(f"Date: {facts['date']}  ")
    lines.append(f"Machine: {facts['nproc']} cores ({facts['cpu']}), kernel {facts['kernel']}, "
                 f"{facts['fstype']} ({facts['mount_options']})  ")
    lines.append(f"Commit: {facts['commit']}"
                 + ("  (engine/platform have uncommitted changes)" if facts["engine_dirty"] else "") + "  ")
    lines.append(f"Program (twf): `{facts.get('program', '')} /task_file:<ini> /run /close`, "
                 f"{facts.get('workers', '?')} workers (its default); driver: `{facts.get('driver', '')}`  ")
    lines.append(f"Peers: {facts['rsync']}; {facts['rclone']}; {facts['cp']}  ")
    lines.append(f"Caches: {'cold (dropped before every timed run)' if args.cold else 'warm (before every timed run: destination reset, sync, then the source read again, or for re-runs both trees stat-ed again); W2 cold drops them'}  ")
    lines.append(f"Rounds: W1-W3 {args.rounds}, W4-W6 {args.big_rounds}, interleaved")
    lines.append("")
    for wl in WORKLOADS:
        if wl not in results:
            continue
        res = results[wl]
        lines.append(f"### {WL_LABEL.get(wl, wl)}")
        lines.append("")
        lines.append("| tool | median s | min-max s | median s incl. sync | user+sys s | peak RSS MiB | "
                     "net peak MiB | twf / tool (per-round median, range) |")
        lines.append("|---|---:|---:|---:|---:|---:|---:|---:|")
        for t in res["tools"]:
            runs = res["runs"][t]
            w = [x["wall"] for x in runs]
            ws = [x["wall_sync"] for x in runs]
            cpu = [x["user"] + x["sys"] for x in runs]
            rss = [x["rss_kib"] / 1024 for x in runs]
            net = net_kib(res, t)
            net_s = f"{med(net) / 1024:.1f}" if net else "-"
            if t == "twf":
                ratio = "-"
            else:
                pr = paired(res, "twf", t)
                ratio = f"{med(pr):.2f} ({min(pr):.2f}-{max(pr):.2f})"
            lines.append(f"| {TOOL_LABEL[t]} | {fmt_s(med(w))} | {fmt_s(min(w))}-{fmt_s(max(w))} | "
                         f"{fmt_s(med(ws))} | {med(cpu):.2f} | {med(rss):.1f} | {net_s} | {ratio} |")
        if "scanned" in res:
            for t in ("twf", "drv"):
                net = net_kib(res, t)
                if net and t in res["tools"]:
                    lines.append("")
                    lines.append(f"{TOOL_LABEL[t]}: highest net peak {max(net) / 1024:.1f} MiB over "
                                 f"{res['scanned']} scanned files (source + destination) = "
                                 f"{max(net) * 1024 / res['scanned']:.0f} bytes per scanned file.")
        base = res.get("baseline_kib")
        if base:
            lines.append("")
            lines.append("One-file baseline peak RSS (MiB): "
                         + ", ".join(f"{t} {base[t] / 1024:.1f}" for t in res["tools"]) + ".")
        lines.append("")
    # Targets
    lines.append("### Targets")
    lines.append("")
    lines.append("| target | measured (per-round median, range) | verdict | CPU-time ratio |")
    lines.append("|---|---:|---|---:|")
    for wl, a, b, limit, text in TARGETS:
        if wl not in results or a not in results[wl]["tools"] or b not in results[wl]["tools"]:
            continue
        pr = paired(results[wl], a, b)
        m = med(pr)
        cpu = med([(x["user"] + x["sys"]) / max(1e-9, y["user"] + y["sys"])
                   for x, y in zip(results[wl]["runs"][a], results[wl]["runs"][b])])
        verdict = "met" if m <= limit else f"missed by {(m / limit - 1) * 100:.0f} % (needs {m / limit:.2f}x faster)"
        lines.append(f"| {text} | {m:.2f} ({min(pr):.2f}-{max(pr):.2f}) | {verdict} | {cpu:.2f} |")
    for wl, factor in MEMORY_TARGETS:
        res = results.get(wl)
        if not res or "twf" not in res["tools"] or "rsync" not in res["tools"]:
            continue
        net = net_kib(res, "twf")
        if not net:
            continue
        mine = max(net) * 1024
        theirs = med([x["rss_kib"] for x in res["runs"]["rsync"]]) * 1024
        limit = factor * theirs
        verdict = "met" if mine <= limit else f"missed by {(mine / limit - 1) * 100:.0f} %"
        times = "" if factor == 1 else f"{factor:g} x "
        lines.append(f"| {wl} net peak memory <= {times}rsync's peak | {mine / MIB:.1f} MiB (highest) vs "
                     f"{times}{theirs / MIB:.1f} MiB | {verdict} | |")
    lines.append("")
    if args.verify_cost and any("drv-v64" in results.get(w, {}).get("tools", []) for w in ("W1", "W4")):
        lines.append("### Verification cost (driver --verify 64 / driver, same round)")
        lines.append("")
        lines.append("| workload | tool time ratio | ratio incl. sync |")
        lines.append("|---|---:|---:|")
        for wl in ("W1", "W4"):
            if wl in results and "drv-v64" in results[wl]["tools"]:
                a = paired(results[wl], "drv-v64", "drv")
                b = paired(results[wl], "drv-v64", "drv", "wall_sync")
                lines.append(f"| {wl} | {med(a):.2f} ({min(a):.2f}-{max(a):.2f}) | "
                             f"{med(b):.2f} ({min(b):.2f}-{max(b):.2f}) |")
        lines.append("")
    return "\n".join(lines)


def find_program(given):
    if given:
        return given
    for p in DEFAULT_PROGRAMS:
        if os.access(p, os.X_OK):
            return p
    return DEFAULT_PROGRAMS[0]


BUILD_HINT = ("cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF && "
              "nice cmake --build build-bench -j2 --target twinfold twinfold-mirror")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--program", default=None, help="twinfold program (default: build-bench/src/app/twinfold, "
                    "else build-bench/src/runctl/twinfold)")
    ap.add_argument("--driver", default=DEFAULT_DRIVER, help="twinfold-mirror binary (default: build-bench)")
    ap.add_argument("--root", default=None, help="workload folder (default /var/tmp/twf-bench, "
                    "/var/tmp/twf-bench-quick with --quick)")
    ap.add_argument("--quick", action="store_true", help="workloads 10x smaller, 2 rounds: checks the script")
    ap.add_argument("--rounds", type=int, default=None, help="rounds for W1-W3 (default 5)")
    ap.add_argument("--big-rounds", type=int, default=None, help="rounds for W4-W6 (default 3)")
    ap.add_argument("--only", default=",".join(WORKLOADS), help="comma-separated workloads to run "
                    f"(default {','.join(WORKLOADS)})")
    ap.add_argument("--cold", action="store_true", help="drop the page cache before every timed run (root)")
    ap.add_argument("--no-verify-cost", dest="verify_cost", action="store_false",
                    help="leave out the driver's --verify 64 variant in W1 and W4")
    ap.add_argument("--clean", action="store_true", help="remove the workload folder at the end")
    ap.add_argument("--out", default=None, help="write the report (Markdown) and raw data (JSON) with this path prefix")
    ap.add_argument("--report", metavar="JSON", help="only print the report of an earlier run's PREFIX.json")
    args = ap.parse_args()
    if args.report:
        with open(args.report) as f:
            saved = json.load(f)
        for k, v in saved["args"].items():
            if k != "report":
                setattr(args, k, v)
        print(report(saved["results"], saved["facts"], args))
        return

    sz = QUICK if args.quick else FULL
    root = os.path.abspath(args.root or ("/var/tmp/twf-bench-quick" if args.quick else "/var/tmp/twf-bench"))
    if args.rounds is None:
        args.rounds = 2 if args.quick else 5
    if args.big_rounds is None:
        args.big_rounds = 2 if args.quick else 3
    names = {w.upper(): w for w in WORKLOADS}
    wanted = []
    for w in args.only.split(","):
        w = w.strip().upper().replace(" ", "").replace("-", "")
        if not w:
            continue
        if w not in names:
            sys.exit(f"unknown workload {w}; known: {', '.join(WORKLOADS)}")
        wanted.append(names[w])
    args.program = os.path.abspath(find_program(args.program))

    for exe, what in ((args.program, "program"), (args.driver, "driver")):
        if not os.access(exe, os.X_OK):
            sys.exit(f"no {what} at {exe}; build both first:\n  {BUILD_HINT}")
    if args.cold and os.geteuid() != 0:
        sys.exit("--cold needs root (it writes /proc/sys/vm/drop_caches)")
    if os.path.realpath(root).startswith(os.path.realpath(REPO) + os.sep):
        sys.exit("the workload folder must lie outside the repository")
    os.makedirs(root, exist_ok=True)
    check_root_folder(root)
    if os.geteuid() == 0:
        # The program takes task files as root only from folders that no one
        # else may write to.
        os.chmod(root, os.stat(root).st_mode & ~0o022)
    enter_private_home(root)
    ensure_tools()
    free = shutil.disk_usage(root).free
    need = (32 if not args.quick else 5) * GIB
    if free < need:
        sys.exit(f"{root}: only {free / GIB:.1f} GiB free, the workloads need about {need / GIB:.0f} GiB")
    if "W6" in wanted:
        # W6 is two trees of mostly empty files: inodes, not bytes, run out.
        st = os.statvfs(root)
        inodes = 2 * (sz["w6_files"] + sz["w6_dirs"]) + 100_000
        if not is_built(root, "w6-src", {"kind": "many", "files": sz["w6_files"], "dirs": sz["w6_dirs"],
                                         "seed": SEED + 6}) and st.f_favail < inodes:
            sys.exit(f"{root}: only {st.f_favail} free inodes, W6 needs about {inodes}")

    # One benchmark at a time per workload folder: two would time each other.
    lock = open(os.path.join(root, ".lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        sys.exit(f"another benchmark is using {root}")

    leftovers = [os.path.join(root, d) for d in (W1_RUNS, W3_RUNS, "w1-dst", "w3-dst")]
    if any(os.path.exists(d) for d in leftovers):
        log("removing the destinations of an earlier run")
        remove_destinations(root, leftovers)
    if "W1" in wanted or "W3" in wanted:
        try:
            with open(os.path.join(root, "stamps", "deleted-at")) as f:
                wait = DELETE_SETTLE_S - (time.time() - float(f.read()))
        except (OSError, ValueError):
            wait = 0
        if wait > 0:
            log(f"waiting {wait:.0f} s: file creation right after a large deletion is not representative")
            time.sleep(wait)

    ctx = Tools(args.program, args.driver, root)
    facts = machine_facts(root)
    facts.update(program=args.program, driver=args.driver, workers=ctx.workers)
    log(f"program {args.program} ({ctx.workers} workers), driver {args.driver} ({facts['commit']}), "
        f"root {root}, {'cold' if args.cold else 'warm'} caches")
    benches = {"W1": bench_w1, "W2": bench_w2, "W2cold": bench_w2cold, "W3": bench_w3, "W4": bench_w4,
               "W5": bench_w5, "W6": bench_w6}
    results = {}
    t0 = time.time()
    for wl in wanted:
        log(f"--- {WL_LABEL.get(wl, wl)}")
        res = benches[wl](args, root, sz, ctx)
        if res:
            results[wl] = res
    text = report(results, facts, args)
    print()
    print(text)
    log(f"total {time.time() - t0:.0f} s")
    if args.out:
        with open(args.out + ".md", "w") as f:
            f.write(text + "\n")
        with open(args.out + ".json", "w") as f:
            json.dump({"facts": facts, "args": vars(args), "sizes": sz, "results": results}, f, indent=1)
        log(f"wrote {args.out}.md and {args.out}.json")
    log("removing the W1 and W3 destinations")
    remove_destinations(root, leftovers)
    if args.clean:
        rmtree(root)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Kill harness: real command-line runs of twinfold, ended by SIGKILL at
random moments and cancelled by SIGTERM / SIGINT, each followed by a check of
what a mirror promises however a run ends:

- every destination name holds its old or its new content, byte for byte
  (a copy's temporary name is the only place a fragment may be);
- nothing outside the destination changed (the source, a sibling folder);
- what the user chose to keep is not lost: a displaced old version is still
  in the destination, in the archive or in the Trash; skip-newer files and
  the excluded folder are untouched;
- the next run exits 0 and leaves an exact mirror with no temporary files.

    python3 tests/harness/kill_harness.py                 # CI mode (>= 50 kills)
    python3 tests/harness/kill_harness.py --long          # many more kills
    TWF_KILL_LONG=1 ctest --test-dir build -R kill_harness

Everything is generated from a fixed seed (--seed), so a failure can be
replayed with the same command line.
"""

import argparse
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
TEMP_NAME = re.compile(r"^\.twf-[0-9a-f]{12}\.part$")
FINISHED = "=== Quarlex Twinfold finished ==="
SYNC_START = "--- Syncing operations ---"
CANCEL_LINES = ("CANCELLED    during scan", "CANCELLED    during compare",
                "CANCELLED    the mirror is INCOMPLETE")
MIB = 1 << 20
T0 = 1_600_000_000 * 10**9  # source files' times, in ns
DAY = 86400 * 10**9


class Failure(Exception):
    pass


def sha(path):
    h = hashlib.sha1()
    with open(path, "rb") as f:
        while True:
            b = f.read(4 * MIB)
            if not b:
                return h.hexdigest()
            h.update(b)


def snapshot(root, with_hash=True, skip_top=()):
    """rel -> ("d",) or ("f", size, mtime_ns, mode, hash) of everything below root."""
    out = {}
    for dirpath, dirs, files in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        if rel_dir == ".":
            dirs[:] = [d for d in dirs if d not in skip_top]
            files = [f for f in files if f not in skip_top]
        for d in dirs:
            out[os.path.normpath(os.path.join(rel_dir, d))] = ("d",)
        for f in files:
            p = os.path.join(dirpath, f)
            st = os.lstat(p)
            rel = os.path.normpath(os.path.join(rel_dir, f))
            out[rel] = ("f", st.st_size, st.st_mtime_ns, st.st_mode & 0o7777, sha(p) if with_hash else None)
    return out


def meta(root):
    """What shows any change below root without reading it: a write moves
    the status-change time, which nobody can set back."""
    out = {}
    for dirpath, dirs, files in os.walk(root):
        for name in dirs + files:
            st = os.lstat(os.path.join(dirpath, name))
            out[os.path.relpath(os.path.join(dirpath, name), root)] = (
                st.st_ino, st.st_mode, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
    return out


def write_file(path, data, mtime_ns):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, ns=(mtime_ns, mtime_ns))


# --------------------------------------------------------------------------
# The trees


class Trees:
    """The source, the destination before any run, and for each destination
    name its old and new content."""

    def __init__(self, base, rng, files, big_mib):
        self.src = os.path.join(base, "source")
        self.before = os.path.join(base, "before")  # pristine copy of the old destination
        dirs = [""]
        for i in range(max(8, files // 40)):
            parent = rng.choice(dirs) if len(dirs) > 1 and rng.random() < 0.5 else ""
            if parent.count("/") >= 3:
                parent = ""
            dirs.append(os.path.join(parent, "d%03d" % i) if parent else "d%03d" % i)
        dirs = dirs[1:]
        self.newer = set()  # destination newer than the source (skip-newer keeps them)
        names = []
        for i in range(files):
            r = rng.random()
            size = (rng.randint(0, 4096) if r < 0.8 else rng.randint(4096, 64 << 10) if r < 0.98
                    else rng.randint(64 << 10, MIB))
            names.append((os.path.join(rng.choice(dirs), "f%05d.bin" % i), size))
        for i, mib in enumerate(big_mib):
            names.append((os.path.join(rng.choice(dirs), "big%02d.dat" % i), mib * MIB + rng.randint(0, 4095)))
        for n, (rel, size) in enumerate(names):
            data = rng.randbytes(size)
            mtime = T0 + n * 10**9 + rng.randint(0, 999_999) * 1000
            write_file(os.path.join(self.src, rel), data, mtime)
            old = os.path.join(self.before, rel)
            is_big = os.path.basename(rel).startswith("big")
            r = rng.random()
            if is_big:
                # big files: half new, half overwritten, so kills land in
                # copies both onto a new name and over an old version
                if n % 2 == 0:
                    write_file(old, rng.randbytes(max(1, size - rng.randint(0, 1 << 20))), mtime - DAY)
            elif r < 0.10:
                pass  # new in the source
            elif r < 0.20:
                write_file(old, rng.randbytes(rng.randint(0, 8192)), mtime - DAY)  # overwritten
            elif r < 0.22 and size > 0:
                write_file(old, rng.randbytes(size), mtime - DAY)  # same size, other content
            elif r < 0.24:
                write_file(old, rng.randbytes(rng.randint(1, 4096)), mtime + DAY)
                self.newer.add(rel)
            else:
                write_file(old, data, mtime)  # the same
        # destination-only files and folders: deleted and removed
        for i in range(max(20, files // 10)):
            write_file(os.path.join(self.before, rng.choice(dirs), "gone%05d.old" % i),
                       rng.randbytes(rng.randint(0, 16384)), T0 - DAY)
        write_file(os.path.join(self.before, dirs[0], "gone-big.old"), rng.randbytes(5 * MIB), T0 - DAY)
        for i in range(40):
            sub = "removed" if i % 2 else "removed/inner"
            write_file(os.path.join(self.before, sub, "r%03d.old" % i), rng.randbytes(rng.randint(0, 8192)),
                       T0 - DAY)
        # a folder the exclusion patterns keep out of the mirror: never touched
        for i in range(10):
            write_file(os.path.join(self.before, "protected", "p%02d.keep" % i), rng.randbytes(2000 + i), T0)
        self.src_snap = snapshot(self.src)
        self.src_meta = meta(self.src)
        self.before_snap = snapshot(self.before)

    def expected(self, skip_newer):
        """The mirror a complete run leaves."""
        exp = {r: v for r, v in self.src_snap.items()}
        for rel, v in self.before_snap.items():
            if rel == "protected" or rel.startswith("protected/"):
                exp[rel] = v
            if skip_newer and rel in self.newer:
                exp[rel] = v
        return exp


# --------------------------------------------------------------------------
# Runs


class Config:
    def __init__(self, name, **keys):
        self.name = name
        self.archive = keys.pop("archive", False)
        self.trash = keys.pop("trash", False)
        self.verify = keys.pop("verify", False)
        self.skip_newer = keys.pop("skip_newer", False)
        self.compare = keys.pop("compare", 0)


CONFIGS = [
    Config("plain"),
    Config("archive+verify", archive=True, verify=True),
    Config("trash", trash=True),
    Config("skip-newer+verify", skip_newer=True, verify=True, compare=2),
]


class Scratch:
    """One configuration's folders: destination, sibling, home, archive, logs."""

    def __init__(self, base, trees, cfg, workers):
        self.base = os.path.join(base, cfg.name.replace("+", "_"))
        os.makedirs(self.base)
        self.dst = os.path.join(self.base, "dest")
        self.sibling = os.path.join(self.base, "sibling")
        self.home = os.path.join(self.base, "home")
        self.archive = os.path.join(self.base, "archive")
        self.logs = os.path.join(self.base, "logs")
        self.trash = os.path.join(self.home, ".local", "share", "Trash")
        os.makedirs(os.path.join(self.home, ".local", "share"))
        for i in range(5):
            write_file(os.path.join(self.sibling, "s%d.txt" % i), b"sibling %d\n" % i * 100, T0)
        write_file(os.path.join(self.sibling, "nested", "n.txt"), b"nested", T0)
        self.sibling_snap = snapshot(self.sibling)
        self.sibling_meta = meta(self.sibling)
        self.ini = os.path.join(self.base, "task.ini")
        keys = {
            "Source": trees.src, "Dest": self.dst, "CompareMode": cfg.compare, "Workers": workers,
            "PreserveAcl": 0, "SkipNewer": int(cfg.skip_newer), "AskConfirm": 0, "WarnMassDelete": 0,
            "RecycleDeletes": int(cfg.trash), "RetryLocked": 1, "VerifyEnabled": int(cfg.verify),
            "VerifyHash": int(cfg.verify), "ArchiveEnabled": int(cfg.archive), "ArchiveFolder": self.archive,
            "ShutdownDone": 0, "ExclPatternsEnabled": 1, "ExclPatterns": "*/protected/*", "ExclEmpty": 0,
            "ExclHiddenFiles": 0, "ExclHiddenDirs": 0, "ExclLargerEnabled": 0, "LogEnabled": 1,
            "LogFolder": self.logs, "LogError": 1, "LogCopy": 1, "LogDelete": 1, "LogMkDir": 1, "LogRmDir": 1,
        }
        with open(self.ini, "w") as f:
            f.write("[Task]\n" + "".join("%s=%s\n" % kv for kv in keys.items()) + "\n[Meta]\nName=kill-%s\n"
                    % cfg.name.replace("+", "-"))
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY") and not k.startswith("XDG_")}
        self.env.update(HOME=self.home, TMPDIR=self.base, LC_ALL="C.UTF-8")
        self.trees = trees
        self.cfg = cfg

    def reset(self):
        """The destination as before any run; archive, Trash and logs empty."""
        for p in (self.dst, self.archive, self.trash, self.logs):
            shutil.rmtree(p, ignore_errors=True)
        subprocess.run(["cp", "-a", "--reflink=never", self.trees.before, self.dst], check=True)


def start(twinfold, sc, out):
    return subprocess.Popen([twinfold, "/task_file:" + sc.ini, "/run", "/close"], env=sc.env,
                            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, cwd=sc.base)


def complete_run(twinfold, sc, what):
    """A run left to finish; returns its duration. It must exit 0."""
    t = time.monotonic()
    p = subprocess.run([twinfold, "/task_file:" + sc.ini, "/run", "/close"], env=sc.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, cwd=sc.base, timeout=300)
    took = time.monotonic() - t
    text = p.stdout.decode("utf-8", "replace")
    if p.returncode != 0 or FINISHED not in text:
        tail = "\n".join(text.splitlines()[-25:])
        raise Failure("%s: exit %d\n%s" % (what, p.returncode, tail))
    return took, text


# --------------------------------------------------------------------------
# The checks


def kept_versions(sc):
    """Hashes of what the archive and the Trash hold, by destination-relative path."""
    kept = {}
    if os.path.isdir(sc.archive):
        for run in os.listdir(sc.archive):
            for kind in ("deleted", "changed"):
                top = os.path.join(sc.archive, run, kind)
                for rel, v in snapshot(top).items() if os.path.isdir(top) else ():
                    if v[0] == "f":
                        kept.setdefault(rel, set()).add(v[4])
    info_dir = os.path.join(sc.trash, "info")
    if os.path.isdir(info_dir):
        for entry in os.listdir(info_dir):
            if not entry.endswith(".trashinfo"):
                continue
            stored = os.path.join(sc.trash, "files", entry[: -len(".trashinfo")])
            if not os.path.isfile(stored):
                continue  # a move that was killed between its two steps: nothing moved
            with open(os.path.join(info_dir, entry)) as f:
                m = re.search(r"^Path=(.*)$", f.read(), re.M)
            original = urllib.parse.unquote_to_bytes(m.group(1)).decode("utf-8", "surrogateescape")
            if original.startswith(sc.dst + "/"):
                kept.setdefault(original[len(sc.dst) + 1:], set()).add(sha(stored))
    return kept


def check_invariant(sc, after_complete):
    """The promise, for any state a run may have been ended in. Returns the
    temporary names found."""
    trees, cfg = sc.trees, sc.cfg
    old, new = trees.before_snap, trees.expected(cfg.skip_newer)
    dst = snapshot(sc.dst, skip_top=(".Trash-0",))
    problems, temps = [], []
    for rel, v in dst.items():
        if v[0] == "d":
            if rel not in old and rel not in new:
                problems.append("folder neither old nor new: " + rel)
            continue
        if TEMP_NAME.match(os.path.basename(rel)):
            temps.append(rel)
            continue
        versions = [x for x in (old.get(rel), new.get(rel)) if x and x[0] == "f"]
        if not any(v[4] == x[4] for x in versions):
            problems.append("%s: %d bytes, neither its old nor its new content (%s)"
                            % (rel, v[1], ", ".join("%d bytes" % x[1] for x in versions) or "no version"))
    kept = kept_versions(sc)
    for rel, v in old.items():
        if v[0] != "f":
            continue
        if (rel.startswith("protected/") or (cfg.skip_newer and rel in trees.newer)):
            if dst.get(rel) != v:
                problems.append("kept file touched: %s" % rel)
            continue
        if new.get(rel, (None,) * 5)[4] == v[4]:
            continue  # not displaced
        if dst.get(rel, (None,) * 5)[4] == v[4]:
            continue  # still in place
        must_keep = cfg.archive or (cfg.trash and rel not in new)
        if must_keep and v[4] not in kept.get(rel, ()):
            problems.append("old version lost: %s (in neither destination, archive nor Trash)" % rel)
    # hashed at the start and the end of the harness; in between, every
    # write would show in the status-change times
    if meta(trees.src) != trees.src_meta:
        problems.append("the source tree changed")
    if meta(sc.sibling) != sc.sibling_meta:
        problems.append("the folder beside the destination changed")
    if after_complete:
        if temps:
            problems.append("temporary files left: " + ", ".join(temps))
        for rel, v in new.items():
            d = dst.get(rel)
            if d is None:
                problems.append("missing after a complete run: " + rel)
            elif v[0] == "f" and (d[1], d[2], d[4]) != (v[1], v[2], v[4]):
                problems.append("not mirrored: %s" % rel)
        for rel in dst:
            if rel not in new and not TEMP_NAME.match(os.path.basename(rel)):
                problems.append("left in the destination: " + rel)
    if problems:
        raise Failure("\n  ".join(problems[:30]) + ("\n  ... %d more" % (len(problems) - 30)
                                                   if len(problems) > 30 else ""))
    return temps


# --------------------------------------------------------------------------
# The scenarios


PHASES = [("--- Summary ---", "summary"), ("VERIFY", "copies"), ("COPY", "copies"), ("ARCHIVE", "copies"),
          ("MKDIR", "folders"), ("RMDIR", "folders"), ("DELETE", "deletes"), (SYNC_START, "deletes"),
          ("CLEANUP", "deletes"), ("Plan:", "plan"), ("Scan done:", "plan"), ("===", "scan")]


def phase_of(lines):
    """Where a killed run was, from the last line it printed."""
    for line in reversed(lines):
        text = line[25:]
        for start, phase in PHASES:
            if text.startswith(start):
                return phase
    return "start-up"


class Stats:
    def __init__(self):
        self.kills = self.cancels = self.late_signals = self.double_signals = self.checks = self.recoveries = 0
        self.temps_after_kill = 0
        self.kill_phases = {}
        self.cancel_by = {}
        self.failures = []


def recover(twinfold, sc, stats, label):
    _, text = complete_run(twinfold, sc, label + ": the next run")
    try:
        check_invariant(sc, True)
    except Failure as e:
        raise Failure("%s: after the next run: %s" % (label, e))
    stats.checks += 1
    stats.recoveries += 1
    return text


def kill_cycle(twinfold, sc, delay, stats, label):
    sc.reset()
    out_path = os.path.join(sc.base, "killed.out")
    with open(out_path, "wb") as out:
        p = start(twinfold, sc, out)
        try:
            p.wait(timeout=delay)
        except subprocess.TimeoutExpired:
            p.send_signal(signal.SIGKILL)
            p.wait()
            stats.kills += 1
            with open(out_path, encoding="utf-8", errors="replace") as f:
                phase = phase_of(f.read().splitlines())
            stats.kill_phases[phase] = stats.kill_phases.get(phase, 0) + 1
    try:
        stats.temps_after_kill += len(check_invariant(sc, p.returncode == 0))
    except Failure as e:
        raise Failure("%s: %s" % (label, e))
    stats.checks += 1
    recover(twinfold, sc, stats, label)


class Reader(threading.Thread):
    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream, self.lines, self.started = stream, [], threading.Event()

    def run(self):
        for raw in self.stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.lines.append(line)
            if line.endswith("=== Quarlex Twinfold started ==="):
                self.started.set()
        self.started.set()


def signal_cycle(twinfold, sc, sigs, delay, stats, label):
    """sigs: the signals to send, the second right after the first. Returns
    False when the run had ended before the signal could cancel it."""
    name = "+".join(signal.Signals(s).name for s in sigs)
    sc.reset()
    p = start(twinfold, sc, subprocess.PIPE)
    reader = Reader(p.stdout)
    reader.start()
    # The handlers are in place once the run has begun.
    reader.started.wait(timeout=120)
    time.sleep(delay)
    p.send_signal(sigs[0])
    if len(sigs) > 1:
        time.sleep(0.02)
        sent = time.monotonic()
        if p.poll() is None:
            p.send_signal(sigs[1])
        try:
            p.wait(timeout=3)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            raise Failure("%s: still running 3 s after a second signal" % label)
        stats.double_signals += 1
    else:
        try:
            p.wait(timeout=60)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            raise Failure("%s: still running 60 s after %s" % (label, name))
        reader.join(timeout=10)
        lines = [l[25:] for l in reader.lines]
        errors = sum(1 for l in lines if l.startswith("ERROR"))
        tail = "\n".join(reader.lines[-12:])
        if not lines or lines[-1] != FINISHED:
            raise Failure("%s: the printed log does not end with the finished line (exit %d)\n%s"
                          % (label, p.returncode, tail))
        cancelled = any(l in CANCEL_LINES for l in lines)
        if not cancelled and p.returncode in (0, -sigs[0]):
            return False  # the run was over before the signal was seen
        if not cancelled:
            raise Failure("%s: no cancel line (exit %d)\n%s" % (label, p.returncode, tail))
        log = [l for l in reader.lines if l.startswith("Log file: ")]
        if log:
            with open(log[0][len("Log file: "):], encoding="utf-8", errors="replace") as f:
                text = f.read().splitlines()
            if not text or not text[-1].endswith(FINISHED) or not any(l[25:] in CANCEL_LINES for l in text):
                raise Failure("%s: the log file is not complete" % label)
        # a cancelled run is a success unless it counted errors
        if p.returncode != (1 if errors else 0):
            raise Failure("%s: exit %d after a cancel with %d error(s)\n%s" % (label, p.returncode, errors, tail))
        stats.cancels += 1
        stats.cancel_by[name] = stats.cancel_by.get(name, 0) + 1
    try:
        check_invariant(sc, False)
    except Failure as e:
        raise Failure("%s: %s" % (label, e))
    stats.checks += 1
    recover(twinfold, sc, stats, label)
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    # The tests' build of the program: the same program, but its settings
    # store follows HOME even as root, so the runs never touch the real
    # user's store (the installed program ignores HOME as root).
    ap.add_argument("--twinfold", default=os.path.join(ROOT, "build", "tests", "runctl", "twf_twinfold_for_tests"))
    ap.add_argument("--long", action="store_true", default=os.environ.get("TWF_KILL_LONG", "") not in ("", "0"))
    ap.add_argument("--kills", type=int, help="SIGKILLs per configuration (CI: 13, long: 60)")
    ap.add_argument("--files", type=int, help="files in the source tree (CI: 2500, long: 6000)")
    ap.add_argument("--seed", type=int, default=20240611)
    ap.add_argument("--keep", action="store_true", help="keep the scratch folder")
    args = ap.parse_args()
    kills = args.kills or (60 if args.long else 13)
    files = args.files or (6000 if args.long else 2500)
    big = [2, 9, 24, 48, 5, 31] if args.long else [3, 14, 40, 6]
    if not os.access(args.twinfold, os.X_OK):
        print("kill harness: no program at %s (build it first)" % args.twinfold, file=sys.stderr)
        return 2
    rng = random.Random(args.seed)
    base = tempfile.mkdtemp(prefix="twf-kill-")
    os.chmod(base, 0o700)
    stats = Stats()
    began = time.monotonic()
    try:
        trees = Trees(base, rng, files, big)
        print("kill harness: seed %d, %d source files (%d MiB), %d before the run, %d kills per configuration"
              % (args.seed, sum(1 for v in trees.src_snap.values() if v[0] == "f"),
                 sum(v[1] for v in trees.src_snap.values() if v[0] == "f") >> 20,
                 sum(1 for v in trees.before_snap.values() if v[0] == "f"), kills), flush=True)
        for n, cfg in enumerate(CONFIGS):
            sc = Scratch(base, trees, cfg, workers=2 + n % 3)
            crng = random.Random("%d/%s" % (args.seed, cfg.name))
            try:
                sc.reset()
                took, _ = complete_run(args.twinfold, sc, cfg.name + ": an uninterrupted run")
                check_invariant(sc, True)
                stats.checks += 1
                # a run that ends before its kill is checked all the same,
                # and another kill is drawn
                target, tries = stats.kills + kills, 0
                while stats.kills < target and tries < 3 * kills:
                    tries += 1
                    delay = crng.uniform(0.03, 0.95) * took
                    kill_cycle(args.twinfold, sc, delay, stats, "%s: kill %d at %.3f s" % (cfg.name, tries, delay))
                for sigs in [(signal.SIGTERM,), (signal.SIGINT,), (signal.SIGTERM, signal.SIGINT),
                             (signal.SIGINT, signal.SIGINT)]:
                    # the loop sees a signal within 150 ms: one that came too
                    # late for a short run is sent again, earlier
                    delay = crng.uniform(0.0, 0.5) * took
                    for attempt in range(4):
                        label = "%s: %s %.3f s after the start" % (
                            cfg.name, "+".join(signal.Signals(s).name for s in sigs), delay)
                        if signal_cycle(args.twinfold, sc, sigs, delay, stats, label):
                            break
                        stats.late_signals += 1
                        delay /= 3
                print("  %-18s run %.2f s, %d kills survived so far" % (cfg.name, took, stats.kills), flush=True)
            except Failure as e:
                stats.failures.append(str(e))
                print("FAILED " + str(e), flush=True)
        if snapshot(trees.src) != trees.src_snap:
            stats.failures.append("the source tree's content changed")
    finally:
        if args.keep or stats.failures:
            print("kill harness: scratch kept in " + base)
        else:
            shutil.rmtree(base, ignore_errors=True)
    print("kill harness: %d SIGKILLs (by phase: %s), %d SIGTERM/SIGINT cancels, %d double signals, "
          "%d signals after the run's end; %d invariant checks passed, %d complete runs after them; "
          "%d temporary names seen right after kills; %.0f s"
          % (stats.kills, ", ".join("%s %d" % kv for kv in sorted(stats.kill_phases.items())), stats.cancels,
             stats.double_signals, stats.late_signals, stats.checks, stats.recoveries, stats.temps_after_kill,
             time.monotonic() - began))
    # The cancel itself must have been seen, by each signal, somewhere.
    if not stats.failures and min(stats.cancel_by.get(s, 0) for s in ("SIGTERM", "SIGINT")) == 0:
        stats.failures.append("a signal never cancelled a run: %s" % stats.cancel_by)
    if stats.failures:
        print("kill harness: %d FAILED configuration(s)" % len(stats.failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

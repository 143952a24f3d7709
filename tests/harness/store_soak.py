#!/usr/bin/env python3
"""Shared-store soak: one settings store, many writers, random kills.

Against ONE settings store in a scratch HOME, for a bounded time:
  - the window (twf_soak_window, offscreen) saves its working settings every
    tick, loads tasks, and closes and reopens (saving its window state);
  - command-line runs `twinfold /task:<name> /run /close` of several saved
    tasks, each mirroring its own small tree that changes between runs;
  - `twinfold /import_task:<file>` imports of a pool of task names;
  - auth key edits (twf_soak_tool keys) through the program's auth key code;
  - now and then one of these processes, picked from a fixed seed, is killed
    with SIGKILL wherever it is.
Each process's wait for the store is recorded (start to first output line for
runs, start to exit for imports, the tools' own timings).

Afterwards, with every process stopped: no store file was set aside as
damaged, `PRAGMA integrity_check` says ok, the store opens without repair,
every task written by a completed import reads back equal, every completed
run's history record is there, the working settings are one whole set that
some writer saved, every completed auth key edit reads back (decoded), and no
wait exceeded the store's bound (kStoreBusyWaitMs). Exit 0 when all holds.

  store_soak.py --ci          60 s (what ctest runs)
  store_soak.py --long        15 minutes
  store_soak.py --duration S  any length; --seed N another sequence of kills
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

RUN_TASKS = 3
IMPORT_NAMES = 5
KEY_SLOTS = 2


class Proc:
    """A started process whose output lines are collected with their times."""

    def __init__(self, kind, argv, env, slot=None, info=None):
        self.kind, self.slot, self.info = kind, slot, info or {}
        self.start = time.monotonic()
        self.wall_start = time.time()
        self.p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        self.lines = []  # (monotonic time, text)
        self.err = b""
        self.killed = False
        self.end = None
        self._t_out = threading.Thread(target=self._read_out, daemon=True)
        self._t_err = threading.Thread(target=self._read_err, daemon=True)
        self._t_out.start()
        self._t_err.start()

    def _read_out(self):
        for raw in self.p.stdout:
            self.lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\n")))

    def _read_err(self):
        self.err = self.p.stderr.read()

    def poll(self):
        rc = self.p.poll()
        if rc is not None and self.end is None:
            self._t_out.join()
            self._t_err.join()
            self.end = time.monotonic()
        return rc

    def kill(self):
        if self.p.poll() is None:
            self.p.send_signal(signal.SIGKILL)
            self.killed = True

    def first_line_wait(self):
        return self.lines[0][0] - self.start if self.lines else None


class Soak:
    def __init__(self, args):
        self.a = args
        self.rng = random.Random(args.seed)
        self.bound_ms = self.read_bound(args.bound_header)
        self.work = tempfile.mkdtemp(prefix="twf-soak-")
        self.home = os.path.join(self.work, "home")
        self.config = os.path.join(self.home, ".config", "Zentorvi", "Quarlex Twinfold")
        self.store = os.path.join(self.config, "settings.db")
        os.makedirs(self.home)
        os.makedirs(os.path.join(self.work, "tmp"))
        self.env = {"HOME": self.home, "PATH": "/usr/bin:/bin", "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
                    "XDG_DATA_HOME": os.path.join(self.home, ".local", "share"),
                    "XDG_CACHE_HOME": os.path.join(self.home, ".cache"), "TMPDIR": os.path.join(self.work, "tmp"),
                    "LANG": "C.UTF-8"}
        for name in ("TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if name in os.environ:
                self.env[name] = os.environ[name]
        self.faults = []
        self.waits = []  # (ms, what)
        self.started = {}
        self.kills = {}
        self.completed = {}
        self.run_values = {}  # task -> expected stored values
        self.last_run = {}  # task -> wall time of the start of its last completed run
        self.imports = {}  # name -> [("done"|"pending", values)]
        self.keys = {}  # name -> [("done"|"pending", state)], state None = absent, else (header, value)
        self.import_seq = 0

    @staticmethod
    def read_bound(header):
        with open(header, encoding="utf-8") as f:
            m = re.search(r"kStoreBusyWaitMs\s*=\s*(\d+)", f.read())
        if not m:
            sys.exit("kStoreBusyWaitMs not found in " + header)
        return int(m.group(1))

    def fault(self, text):
        self.faults.append(text)
        print("FAULT: " + text, flush=True)

    def wait(self, ms, what):
        self.waits.append((ms, what))
        if ms > self.bound_ms:
            self.fault("%s waited %d ms, more than the store's bound of %d ms" % (what, ms, self.bound_ms))

    def spawn(self, kind, argv, slot=None, info=None, extra_env=None):
        env = dict(self.env)
        env.update(extra_env or {})
        self.started[kind] = self.started.get(kind, 0) + 1
        return Proc(kind, argv, env, slot, info)

    # ------------------------------------------------------------ task files

    @staticmethod
    def ini(name, values):
        lines = ["[Task]"]
        for k, v in values.items():
            lines.append("%s=%s" % (k, v.replace("\r\n", "|") if isinstance(v, str) else v))
        lines += ["", "[Meta]", "Name=" + name, ""]
        return "\r\n".join(lines)

    @staticmethod
    def stored_form(values):
        """What an import of these values stores: texts as texts, numbers as integers."""
        return {k: ["s", v] if isinstance(v, str) else ["i", int(v)] for k, v in values.items()}

    def write_tree(self, root, rng, count):
        for i in range(count):
            path = os.path.join(root, "d%d" % (i % 5), "f%d.txt" % i)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(("%d-" % i) * rng.randint(1, 400))

    def change_tree(self, root, rng):
        files = sorted(os.path.join(d, n) for d, _, ns in os.walk(root) for n in ns)
        for path in rng.sample(files, min(3, len(files))):
            with open(path, "a") as f:
                f.write("x" * rng.randint(1, 100))
        if files and rng.random() < 0.5:
            os.unlink(rng.choice(files))
        new = os.path.join(root, "d%d" % rng.randint(0, 5), "n%d.txt" % rng.randint(0, 10 ** 9))
        os.makedirs(os.path.dirname(new), exist_ok=True)
        with open(new, "w") as f:
            f.write("new" * rng.randint(1, 300))

    @staticmethod
    def tree_state(root):
        out = {}
        for d, _, names in os.walk(root):
            for n in names:
                p = os.path.join(d, n)
                with open(p, "rb") as f:
                    out[os.path.relpath(p, root)] = f.read()
        return out

    def run_task_values(self, i):
        trees = os.path.join(self.work, "trees", "run-%d" % i)
        return {
            "Source": os.path.join(trees, "src"), "Dest": os.path.join(trees, "dst"), "CompareMode": i % 2,
            "Workers": 2 + i, "PreserveAcl": 0, "SkipNewer": 0, "AskConfirm": 0, "WarnMassDelete": 0,
            "WarnPct": [30, 40, 50][i % 3], "LogJson": i % 2, "WebhookEnabled": 0, "WebhookURL": "",
            "WebhookAuthKey": "", "WebhookVerifySSL": 1, "VolCheckEnabled": 0, "RecycleDeletes": 0,
            "RetryLocked": 1, "VerifyEnabled": 1 if i != 1 else 0, "ArchiveEnabled": 1 if i == 1 else 0,
            "ArchiveFolder": os.path.join(self.work, "archive-%d" % i), "VerifyHash": i % 2,
            "ShutdownDone": 0, "ExclPatternsEnabled": 1, "ExclPatterns": "*.tmp\r\n*.bak\r\nskip-%d-*" % i,
            "ExclEmpty": 0, "ExclHiddenFiles": 0, "ExclHiddenDirs": 0, "ExclLargerEnabled": 1,
            "ExclLargerMB": 100 + i, "LogEnabled": 1, "LogFolder": os.path.join(self.work, "logs-%d" % i),
            "LogError": 1, "LogCopy": 1, "LogDelete": 1, "LogMkDir": 1, "LogRmDir": 1,
        }

    def import_values(self, name, seq, rng):
        words = ["alpha", "beta", "gamma", "delta", "omega"]
        return {
            "Source": "/soak/import/%s/src-%d" % (name, seq), "Dest": "/soak/import/%s/dst-%d" % (name, seq),
            "CompareMode": rng.randint(0, 2), "Workers": rng.randint(1, 64), "WarnPct": rng.choice([20, 25, 90]),
            "WebhookURL": "https://example.invalid/%s" % rng.choice(words), "ExclLargerMB": rng.randint(1, 99999),
            "ExclPatterns": "\r\n".join(rng.sample(["*.a", "*.b", "c?", "[x]*", "keep-%d" % seq], 3)),
            "LogFolder": "/soak/logs/%s/%d" % (name, seq), "VerifyEnabled": rng.randint(0, 1),
            "ArchiveEnabled": rng.randint(0, 1), "SoakSeq": seq,
        }

    def import_file(self, name, values):
        self.import_seq += 1
        path = os.path.join(self.work, "imports", "imp-%d.ini" % self.import_seq)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", newline="") as f:
            f.write(self.ini(name, values))
        return path

    # ------------------------------------------------------------ set-up

    def setup(self):
        for i in range(RUN_TASKS):
            name = "soak-run-%d" % i
            values = self.run_task_values(i)
            self.write_tree(values["Source"], random.Random(i), 40)
            p = self.spawn("import", [self.a.program, "/import_task:" + self.import_file(name, values)])
            rc = p.p.wait()
            p.poll()
            if rc != 0:
                sys.exit("setting up %s failed: %s" % (name, p.lines))
            self.run_values[name] = self.stored_form(values)
        # A first mirror of each, which also leaves a run task's values as the
        # working settings before the window first starts.
        for name in sorted(self.run_values):
            p = self.spawn("run", [self.a.program, "/task:" + name, "/run", "/close"], info={"task": name})
            p.p.wait()
            self.end_run(p)

    # ------------------------------------------------------------ the slots

    def start_run(self, slot):
        name = "soak-run-%d" % slot
        src = self.run_values[name]["Source"][1]
        self.change_tree(src, self.rng)
        return self.spawn("run", [self.a.program, "/task:" + name, "/run", "/close"], slot, {"task": name})

    def end_run(self, p):
        rc = p.poll()
        w = p.first_line_wait()
        if w is not None:
            self.wait(int(w * 1000), "run of %s (start to first line)" % p.info["task"])
        elif not p.killed:
            self.wait(int((p.end - p.start) * 1000), "run of %s (start to exit, no output)" % p.info["task"])
        if p.killed:
            if w is None:
                self.wait(int((p.end - p.start) * 1000), "run of %s (killed before its first line)" % p.info["task"])
            return
        if rc != 0:
            self.fault("run of %s ended with %d: %s" % (p.info["task"], rc, p.err.decode(errors="replace")[-500:]))
            return
        task = p.info["task"]
        self.completed["run"] = self.completed.get("run", 0) + 1
        self.last_run[task] = p.wall_start
        src, dst = self.run_values[task]["Source"][1], self.run_values[task]["Dest"][1]
        if self.tree_state(src) != self.tree_state(dst):
            self.fault("run of %s completed but %s is not a mirror of %s" % (task, dst, src))

    def start_import(self, slot):
        name = "soak-imp-%d" % self.rng.randrange(IMPORT_NAMES)
        values = self.import_values(name, self.import_seq + 1, self.rng)
        path = self.import_file(name, values)
        self.imports.setdefault(name, []).append(["pending", self.stored_form(values)])
        return self.spawn("import", [self.a.program, "/import_task:" + path], slot, {"name": name})

    def end_import(self, p):
        rc = p.poll()
        if not p.killed or rc == 0:
            self.wait(int((p.end - p.start) * 1000), "import of %s (start to exit)" % p.info["name"])
        if p.killed and rc != 0:
            return
        out = " ".join(t for _, t in p.lines)
        if rc != 0 or "imported" not in out:
            self.fault("import of %s ended with %s: %s" % (p.info["name"], rc, out))
            return
        self.completed["import"] = self.completed.get("import", 0) + 1
        self.imports[p.info["name"]][-1][0] = "done"

    def start_keys(self, slot):
        return self.spawn("keys", [self.a.tool, "keys", str(slot), str(self.rng.randrange(10 ** 9))], slot)

    def start_window(self, slot):
        tasks = sorted(self.run_values)
        return self.spawn("window", [self.a.window] + tasks, slot, extra_env={"QT_QPA_PLATFORM": "offscreen"})

    def end_tool(self, p):
        """Reads a keys or window process's report; kills end it anywhere."""
        p.poll()
        w = p.first_line_wait()
        if w is not None:
            self.wait(int(w * 1000), "%s process (start to first line)" % p.kind)
        elif p.killed:
            self.wait(int((p.end - p.start) * 1000), "%s process (killed before its first line)" % p.kind)
        if not p.killed and p.p.returncode != 0:
            self.fault("%s process ended with %d: %s" % (p.kind, p.p.returncode, p.err.decode(errors="replace")[-500:]))
        pending = None
        for _, line in p.lines:
            f = line.split(" ")
            if f[0] == "open":
                self.wait(int(f[1]), "%s: opening the store" % p.kind)
                if len(f) > 2:
                    self.fault("%s: store opened as '%s'" % (p.kind, line))
            elif f[0] in ("create", "close"):
                self.wait(int(f[1]), "window: %s" % f[0])
            elif f[0] == "save":
                self.wait(int(f[2]), "window: saving the working settings")
                self.completed["window save"] = self.completed.get("window save", 0) + 1
            elif f[0] == "dialog":
                self.fault("window showed a dialog: " + line)
            elif f[0] == "begin":
                name = f[2]
                state = (f[3], f[4]) if f[1] == "write" else None
                pending = [("pending", state), name]
                self.keys.setdefault(name, []).append(list(pending[0]))
            elif f[0] == "done":
                self.wait(int(f[2]), "auth key edit")
                if f[1] != "1":
                    self.fault("auth key edit of %s did not complete: %s" % (pending[1], line))
                else:
                    self.keys[pending[1]][-1][0] = "done"
                    self.completed["key edit"] = self.completed.get("key edit", 0) + 1
                pending = None

    # ------------------------------------------------------------ the loop

    def soak(self):
        slots = [("window", 0, self.start_window, self.end_tool)]
        slots += [("run", i, self.start_run, self.end_run) for i in range(RUN_TASKS)]
        slots += [("import", 0, self.start_import, self.end_import)]
        slots += [("keys", i, self.start_keys, self.end_tool) for i in range(KEY_SLOTS)]
        live = {}  # slot index -> Proc
        next_start = {i: 0.0 for i in range(len(slots))}
        t0 = time.monotonic()
        deadline = t0 + self.a.duration
        next_kill = t0 + self.rng.uniform(1.0, 2 * self.a.kill_every)
        while True:
            now = time.monotonic()
            stopping = now >= deadline
            for i, (kind, slot, start, end) in enumerate(slots):
                p = live.get(i)
                if p is not None and p.poll() is not None:
                    end(p)
                    del live[i]
                    next_start[i] = now + self.rng.uniform(0.05, 0.6)
                if i not in live and not stopping and now >= next_start[i]:
                    live[i] = start(slot)
            if stopping:
                break
            if now >= next_kill and live:
                victim = live[self.rng.choice(sorted(live))]
                victim.kill()
                self.kills[victim.kind] = self.kills.get(victim.kind, 0) + 1
                next_kill = now + self.rng.uniform(0.3, 2 * self.a.kill_every)
            time.sleep(0.02)
        # Wind down: the window and the key editors on SIGTERM, runs and imports to their end.
        for p in live.values():
            if p.kind in ("window", "keys"):
                p.p.send_signal(signal.SIGTERM)
        limit = time.monotonic() + 90
        for i, p in sorted(live.items()):
            try:
                p.p.wait(max(1, limit - time.monotonic()))
            except subprocess.TimeoutExpired:
                self.fault("%s process did not end within 90 s of the soak's end" % p.kind)
                p.kill()
                p.p.wait()
            slots[i][3](p)
        return time.monotonic() - t0

    # ------------------------------------------------------------ checks

    @staticmethod
    def accept(history, actual):
        """actual (None: absent) must be the state of the last completed write,
        or of a later one whose process was killed before it could report."""
        done = [i for i, (s, _) in enumerate(history) if s == "done"]
        first = done[-1] if done else 0
        allowed = [v for i, (s, v) in enumerate(history) if i >= first]
        if not done:
            allowed.append(None)
        return actual in allowed

    def check(self):
        for n in sorted(os.listdir(self.config)):
            if ".damaged" in n:
                self.fault("the store was set aside as damaged: " + n)
        db = sqlite3.connect("file:%s?mode=ro" % self.store, uri=True)
        integrity = [r[0] for r in db.execute("PRAGMA integrity_check")]
        db.close()
        if integrity != ["ok"]:
            self.fault("PRAGMA integrity_check: %s" % integrity[:5])
        out = subprocess.run([self.a.tool, "dump"], env=self.env, capture_output=True, timeout=120)
        dump = json.loads(out.stdout.decode("utf-8"))
        if not dump["open"] or dump["set_aside"] or dump["refusal"] or dump["busy"]:
            self.fault("the store did not open cleanly: %s" % {k: dump[k] for k in ("open", "set_aside", "refusal", "busy")})
        self.wait(dump["open_ms"], "final open")
        tasks = dump["tasks"]
        # Run tasks are written once, at set-up.
        for name, values in self.run_values.items():
            if tasks.get(name) != values:
                self.fault("task %s changed: %s" % (name, tasks.get(name)))
        for name, history in sorted(self.imports.items()):
            if not self.accept(history, tasks.get(name)):
                self.fault("imported task %s holds %s" % (name, tasks.get(name)))
        # History: the last completed run of a task, or a later one.
        for task, started in sorted(self.last_run.items()):
            entry = dump["history"].get(task)
            floor = time.strftime("%Y-%m-%d %H:%M", time.localtime(started))
            if not entry or entry[0] != "s" or not entry[1].endswith(" - success") or entry[1][:16] < floor:
                self.fault("history of %s after a completed run at %s: %s" % (task, floor, entry))
        self.check_working_settings(dump["root"])
        stored_keys = {n: (k["key"], k["value"]) for n, k in dump["authkeys"].items()}
        for name, history in sorted(self.keys.items()):
            actual = stored_keys.get(name)
            if not self.accept([(s, list(v) if v else None) for s, v in history], list(actual) if actual else None):
                self.fault("auth key %s holds %s; its last edits: %s" % (name, actual, history[-3:]))
        return dump

    def check_working_settings(self, root):
        """The 36 working settings are one whole set: a run task's, or the
        window's (its Source, Dest and Workers of one tick, the rest a task's)."""
        fields = list(next(iter(self.run_values.values())).keys())
        actual = {k: root.get(k) for k in fields}
        rest = lambda v: {k: x for k, x in v.items() if k not in ("Source", "Dest", "Workers")}
        m = re.fullmatch(r"/soak/window/(\d+)", (actual.get("Source") or ["", ""])[1])
        for values in self.run_values.values():
            if actual == values:
                return
            if m and rest(actual) == rest(values):
                n = int(m.group(1))
                if actual["Dest"] == ["s", "/soak/window/%d-dst" % n] and actual["Workers"] == ["i", 1 + n % 16]:
                    return
        self.fault("the working settings are not one writer's whole set: %s" % actual)

    def report(self, seconds):
        longest = max(self.waits, default=(0, "nothing"))
        print("soak: %.0f s, seed %d, store bound %d ms" % (seconds, self.a.seed, self.bound_ms))
        print("  processes started: %s" % dict(sorted(self.started.items())))
        print("  processes killed (SIGKILL): %s (%d in all)" % (dict(sorted(self.kills.items())), sum(self.kills.values())))
        print("  completed: %s" % dict(sorted(self.completed.items())))
        print("  waits measured: %d; longest: %d ms (%s)" % (len(self.waits), longest[0], longest[1]))
        print("  faults: %d" % len(self.faults))
        for f in self.faults:
            print("    " + f)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--program", required=True, help="twinfold built for tests (twf_twinfold_for_tests)")
    ap.add_argument("--tool", required=True, help="twf_soak_tool")
    ap.add_argument("--window", required=True, help="twf_soak_window")
    ap.add_argument("--bound-header", required=True, help="src/tasks/settings_store.h (kStoreBusyWaitMs)")
    ap.add_argument("--ci", action="store_true", help="60 s")
    ap.add_argument("--long", action="store_true", help="15 minutes")
    ap.add_argument("--duration", type=float, help="seconds of soak")
    ap.add_argument("--seed", type=int, default=20240611)
    ap.add_argument("--kill-every", type=float, default=2.0, help="mean seconds between kills")
    ap.add_argument("--keep", action="store_true", help="keep the scratch folder")
    a = ap.parse_args()
    a.duration = a.duration or (900 if a.long else 60)
    s = Soak(a)
    ok = False
    try:
        s.setup()
        seconds = s.soak()
        s.check()
        s.report(seconds)
        ok = not s.faults
    finally:
        if ok and not a.keep:
            shutil.rmtree(s.work, ignore_errors=True)
        else:
            print("scratch folder kept: " + s.work)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The shipped systemd user service's command line, started as systemd
starts it: the ExecStart line of contrib/systemd/twinfold@.service with %I
filled in, the program path pointed at the build, a new session without a
terminal, standard input from /dev/null, the environment a user manager
gives (and a DISPLAY that points nowhere). What systemd judges the run by:
the exit code; what the journal keeps: standard output and error.

    systemd_unit_test.py --twinfold <program> --unit <twinfold@.service>

The program is the tests' copy (tests/support/program_main.cpp), whose
store follows HOME also as root, so a test never reaches root's own store.
"""
import argparse
import os
import shlex
import shutil
import subprocess
import sys
import tempfile


def exec_start(unit_path):
    for line in open(unit_path, encoding="utf-8"):
        if line.startswith("ExecStart="):
            return line[len("ExecStart="):].strip()
    raise SystemExit("no ExecStart in " + unit_path)


def unit_argv(line, instance, program):
    # %I: the instance name unescaped; %% a percent sign. Then systemd's
    # word splitting, which for this line's double quotes is the shell's.
    words = shlex.split(line.replace("%%", "\0").replace("%I", instance).replace("\0", "%"))
    if words[0] != "/usr/bin/twinfold":
        raise SystemExit("ExecStart does not start /usr/bin/twinfold: " + line)
    return [program] + words[1:]


def run(argv, home):
    env = {"HOME": home, "USER": "root", "LOGNAME": "root", "SHELL": "/bin/sh", "LANG": "C.UTF-8",
           "PATH": "/usr/local/bin:/usr/bin:/bin", "XDG_RUNTIME_DIR": home + "/run", "DISPLAY": ":99",
           "INVOCATION_ID": "0" * 32, "JOURNAL_STREAM": "8:1"}
    for name in ("TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, env=env,
                          start_new_session=True, timeout=120)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--twinfold", required=True)
    ap.add_argument("--unit", required=True)
    args = ap.parse_args()
    line = exec_start(args.unit)

    # A root-only folder: as root the program reads only task files no one
    # else could have written.
    top = tempfile.mkdtemp(prefix="twinfold-unit.")
    failed = []
    try:
        home, src, dst, logs = (os.path.join(top, n) for n in ("home", "src", "dst", "logs"))
        os.makedirs(os.path.join(home, "run"), mode=0o700)
        os.makedirs(os.path.join(src, "sub"))
        for rel, text in (("a.txt", "alpha"), ("sub/b.txt", "beta")):
            with open(os.path.join(src, rel), "w") as f:
                f.write(text)
        job = os.path.join(top, "job.ini")
        with open(job, "w", newline="") as f:
            f.write("[Task]\r\nSource=%s\r\nDest=%s\r\nLogEnabled=1\r\nLogFolder=%s\r\n\r\n[Meta]\r\nName=Nightly Backup\r\n"
                    % (src, dst, logs))
        imp = run([args.twinfold, "/import_task:" + job], home)
        if imp.returncode != 0:
            raise SystemExit("import failed: " + imp.stdout + imp.stderr)

        cases = [
            # instance, exit code, a line standard output must have, standard error
            ("Nightly Backup", 0, "  Task Name:   Nightly Backup\n", ""),
            ("No Such Task", 2, None, 'twinfold: Task "No Such Task" was not found.\n'),
        ]
        for instance, want_rc, want_out, want_err in cases:
            r = run(unit_argv(line, instance, args.twinfold), home)
            problems = []
            if r.returncode != want_rc:
                problems.append("exit code %d, not %d" % (r.returncode, want_rc))
            if want_out is not None and want_out not in r.stdout:
                problems.append("no %r in the output" % want_out)
            if want_out is None and r.stdout:
                problems.append("output %r" % r.stdout)
            if r.stderr != want_err:
                problems.append("standard error %r" % r.stderr)
            if problems:
                failed.append("%s: %s\n%s%s" % (instance, "; ".join(problems), r.stdout, r.stderr))
        # The good run mirrored, and wrote its log file; the refused one wrote none.
        got = sorted(os.path.relpath(os.path.join(d, f), dst) for d, _, fs in os.walk(dst) for f in fs)
        if got != ["a.txt", "sub/b.txt"]:
            failed.append("the mirror holds %s" % got)
        if len([n for n in os.listdir(logs) if n.startswith("Mirror_")]) != 1:
            failed.append("log files: %s" % os.listdir(logs))
        if not os.path.isfile(os.path.join(home, ".config/Zentorvi/Quarlex Twinfold/settings.db")):
            failed.append("the settings store is not in the run's HOME")
    finally:
        shutil.rmtree(top, ignore_errors=True)
    for f in failed:
        print(f, file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The benchmark script's guards as root: the folders it writes through and
the scratch home it mounts over root's home can be sent nowhere else, and
that mount never leaves the script's own mount namespace."""

import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import unittest

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench")
sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.abspath(BENCH))
import run  # noqa: E402

NOBODY = 65534
AS_ROOT = os.geteuid() == 0


class Scratch:
    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="twf-bench-test-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def refused(call, *args):
    try:
        call(*args)
    except SystemExit:
        return True
    return False


@unittest.skipUnless(AS_ROOT, "the guards are for runs as root")
class FoldersTest(unittest.TestCase):
    def test_folders_written_through_are_our_own(self):
        # (what is at the name beforehand, refused)
        cases = [
            ("nothing", False),
            ("our folder", False),
            ("a link to a folder", True),
            ("someone else's folder", True),
            ("a file", True),
        ]
        for what, want_refused in cases:
            with self.subTest(what), Scratch() as t:
                target = os.path.join(t, "elsewhere")  # stands for root's home or /etc
                os.mkdir(target, 0o755)
                path = os.path.join(t, "twf-home")
                if what == "our folder":
                    os.mkdir(path, 0o755)
                elif what == "a link to a folder":
                    os.symlink(target, path)
                elif what == "someone else's folder":
                    os.mkdir(path, 0o755)
                    os.chown(path, NOBODY, NOBODY)
                elif what == "a file":
                    open(path, "w").close()
                self.assertEqual(refused(run.program_home, t), want_refused)
                self.assertEqual(os.stat(target).st_mode & 0o777, 0o755, "the link's target was changed")
                if not want_refused:
                    self.assertEqual(os.lstat(path).st_mode & 0o777, 0o700)
                    self.assertTrue(os.path.isdir(os.path.join(path, "run")))

    def test_the_workload_folder_is_roots(self):
        # (owner of the folder, reached through a link, refused)
        for owner, through_link, want_refused in [(0, False, False), (NOBODY, False, True), (NOBODY, True, True)]:
            with self.subTest(owner=owner, link=through_link), Scratch() as t:
                folder = os.path.join(t, "bench")
                os.mkdir(folder)
                os.chown(folder, owner, owner)
                if through_link:
                    os.symlink(folder, os.path.join(t, "link"))
                    folder = os.path.join(t, "link")
                self.assertEqual(refused(run.check_root_folder, folder), want_refused)


@unittest.skipUnless(AS_ROOT and shutil.which("unshare"), "needs root and unshare")
class MountNamespaceTest(unittest.TestCase):
    # Each case runs in a throw-away private mount namespace, so even a mount
    # the script should not make is gone when the case ends.
    CHILD = r"""
import os, pwd, sys
sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv[1])
import run
def mounted(path):
    with open("/proc/self/mountinfo") as f:
        return sum(line.split()[4] == path for line in f)
home = pwd.getpwuid(0).pw_dir
before = mounted(home)
os.environ["TWF_BENCH_PRIVATE_HOME"] = "1"
try:
    run.enter_private_home(sys.argv[2])
    outcome = "entered"
except SystemExit:
    outcome = "refused"
print(outcome, "mounted" if mounted(home) > before else "not-mounted")
"""

    def child(self, through_shell, root):
        argv = [sys.executable, "-c", self.CHILD, os.path.abspath(BENCH), root]
        if through_shell:
            # The script's starter shares its namespace: what a variable
            # inherited from outside looks like.
            argv = ["sh", "-c", '"$@"', "sh"] + argv
        out = subprocess.run(["unshare", "--mount", "--propagation", "private"] + argv,
                             capture_output=True, text=True)
        return out.stdout.strip() or out.stderr.strip()

    def test_mounts_over_roots_home_only_in_its_own_namespace(self):
        if not os.path.isdir(pwd.getpwuid(0).pw_dir):
            self.skipTest("root has no home folder here")
        self.assertFalse(run.in_own_mount_namespace())
        for through_shell, want in [(False, "entered mounted"), (True, "refused not-mounted")]:
            with self.subTest(through_shell=through_shell), Scratch() as t:
                self.assertEqual(self.child(through_shell, t), want)


if __name__ == "__main__":
    unittest.main()

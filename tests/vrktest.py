"""Shared helpers for the black-box tests: where the programs are, and how to run them."""

import os
import shutil
import subprocess
import tempfile
import unittest

BIN_DIR = os.environ.get("VRK_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "build", "bin"))
SCHED = os.path.join(BIN_DIR, "vrk_sched")
NET = os.path.join(BIN_DIR, "vrk_sched_net")
HERE = os.path.dirname(os.path.abspath(__file__))
STANDINS = os.path.join(HERE, "standins")
VERSION = "1.0.2-alpha028"
BUILD = "20261005-2"


def base_env(**extra):
    env = dict(os.environ)
    env.pop("NO_COLOR", None)
    # Sandboxed children cannot run LeakSanitizer (it needs ptrace).
    env["ASAN_OPTIONS"] = "detect_leaks=0"
    env.update(extra)
    return env


def run(args, env=None, timeout=60, cwd=None, stdin=subprocess.DEVNULL):
    """Runs a program; returns (exit status, stdout text, stderr text)."""
    p = subprocess.run(args, env=env or base_env(), timeout=timeout, cwd=cwd, stdin=stdin,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


class TempDirCase(unittest.TestCase):
    """A test case with a fresh temporary directory in self.dir."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vrk-test-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, text):
        p = self.path(name)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "w") as f:
            f.write(text)
        return p

    def sched(self, *args, env=None, timeout=60, log=True):
        """Runs vrk_sched with run logging kept out of system paths."""
        extra = ["--no-syslog", "--no-log"] if log else []
        return run([SCHED, *args, *extra], env=env, timeout=timeout)

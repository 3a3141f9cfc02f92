"""vrk_sched refuses inputs it cannot use, promptly and with an error: a configuration path that
is not a regular file (also when the daemon meets one on reload), an over-long --job-log-dir."""

import os
import subprocess
import time
import unittest

from daemon_test import DaemonCase
from vrktest import STANDINS, TempDirCase, base_env, read_queue, wait_until

# Far longer than any of these commands needs; a hang runs into it and fails the test.
HANG_TIMEOUT = 30

JOBS = "[ok]\ncommand = agent\nschedule = 0 0 1 1 *\nargs = --exit 0\n"


def long_path(base, length):
    """base extended by directory names of at most 200 bytes to exactly length bytes."""
    p = base
    while len(p) < length:
        left = length - len(p)
        seg = min(200, left - 1)
        if left - (seg + 1) == 1:
            seg -= 1  # never leave room for a "/" alone
        p += "/" + "d" * seg
    assert len(p) == length
    return p


class CommandCase(TempDirCase):
    def setUp(self):
        super().setUp()
        self.queue = self.path("state", "queue.state")
        self.env = base_env(PATH=STANDINS + os.pathsep + os.environ["PATH"],
                            VRK_STANDIN_RECORD=self.path("record"))

    def command(self, *args):
        try:
            return self.sched(*args, env=self.env, timeout=HANG_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.fail("vrk_sched %s did not return within %d s" % (" ".join(args), HANG_TIMEOUT))


class ConfigNotARegularFileTest(CommandCase):
    COMMANDS = [
        # command words, exit code
        (["validate"], 1),
        (["list"], 1),
        (["run", "ok", "--job-log-dir"], 2),
        (["start", "ok", "--job-log-dir"], 2),
        (["daemon", "--job-log-dir"], 2),
    ]

    def test_fifo_and_directory_are_refused(self):
        fifo = self.path("sched.fifo")
        os.mkfifo(fifo)
        for cfg in (fifo, self.path()):
            for words, want in self.COMMANDS:
                with self.subTest(cfg=os.path.basename(cfg), command=words[0]):
                    if words[-1] == "--job-log-dir":
                        words = words + [self.path("jobs")]
                    rc, out, err = self.command(*words, "--config", cfg, "--queue", self.queue)
                    self.assertEqual((rc, out), (want, ""))
                    self.assertEqual(err, "error: cannot read the configuration file %s\n" % cfg)
        self.assertFalse(os.path.exists(self.queue))
        self.assertFalse(os.path.exists(self.path("jobs")))


class ReloadMeetsFifoTest(DaemonCase):
    def test_daemon_keeps_its_configuration_and_the_queue_stays_free(self):
        self.config(JOBS)
        self.start()
        fifo = self.path("new.fifo")
        os.mkfifo(fifo)
        os.replace(fifo, self.cfg)
        self.wait_log("vrk_sched: config reload failed, keeping previous config: cannot read the "
                      "configuration file %s" % self.cfg)
        # A run elsewhere takes the queue lock the daemon took for its reload.
        other = self.path("other.cfg")
        with open(other, "w") as f:
            f.write(JOBS)
        try:
            rc, _, err = self.sched("run", "ok", "--config", other, "--queue", self.queue,
                                    "--job-log-dir", self.jobs, env=self.env,
                                    timeout=HANG_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.fail("run waited for the queue lock:\n" + self.log())
        self.assertEqual(rc, 0, err)
        self.assertEqual(read_queue(self.queue)["ok"]["state"], "DONE")
        self.assertEqual(self.stop(), 0)


class JobLogDirLengthTest(CommandCase):
    TOO_LONG = "error: --job-log-dir is too long (at most 599 bytes)\n"

    def setUp(self):
        super().setUp()
        self.cfg = self.write("sched.cfg", JOBS)

    def logs(self, root):
        d = os.path.join(root, "ok")
        return os.listdir(d) if os.path.isdir(d) else []

    def test_run_and_start(self):
        for command in ("run", "start"):
            with self.subTest(command=command):
                limit = long_path(self.path(command), 599)
                rc, out, err = self.command(command, "ok", "--config", self.cfg, "--queue",
                                            self.queue, "--job-log-dir", limit)
                self.assertEqual(rc, 0, err)
                if command == "start":
                    self.assertIn("log: %s/ok/\n" % limit, out)
                wait_until(lambda: len(self.logs(limit)) == 1, what="job log in " + limit)
                wait_until(lambda: read_queue(self.queue)["ok"]["state"] == "DONE",
                           what="run finished")
                os.remove(self.queue)

                over = long_path(self.path(command + "-over"), 600)
                rc, out, err = self.command(command, "ok", "--config", self.cfg, "--queue",
                                            self.queue, "--job-log-dir=" + over)
                self.assertEqual((rc, out, err), (2, "", self.TOO_LONG))
                self.assertFalse(os.path.exists(self.queue))
                self.assertEqual(self.logs(over[:599]), [])
                self.assertFalse(os.path.exists(over))

    def test_daemon_refuses_before_starting(self):
        over = long_path(self.path("over"), 600)
        rc, out, err = self.command("daemon", "--config", self.cfg, "--queue", self.queue,
                                    "--job-log-dir", over)
        self.assertEqual((rc, out, err), (2, "", self.TOO_LONG))
        self.assertFalse(os.path.exists(self.queue))


class DaemonJobLogDirTest(DaemonCase):
    def test_599_bytes_are_used_as_given(self):
        self.jobs = long_path(self.path("j"), 599)
        self.config("[once]\nonce = %d\nargs = --print once\n" % (int(time.time()) + 1))
        self.start()
        self.wait_log("job 'once' finished")
        self.assertEqual(len(os.listdir(os.path.join(self.jobs, "once"))), 1)
        self.assertEqual(self.stop(), 0)


if __name__ == "__main__":
    unittest.main()

"""vrk_sched list: columns, read-only queue access, colours on a terminal only."""

import datetime
import os
import pty
import subprocess
import time
import unittest

from vrktest import SCHED, TempDirCase, base_env, encode_entry, write_queue

JOBS = """
[a]
command = agent
schedule = 0 0 1 1 *

[b]
command = verify
after = a

[c]
command = maint-scrub
after = a,b
after-mode = finished

[off]
command = agent
schedule = 0 0 1 1 *
enabled = no
"""

HEADER = "%-24s %-18s %-10s %-20s %-20s %-20s %-6s %s\n" % (
    "NAME", "COMMAND", "STATUS", "NEXT-RUN", "LAST-RUN", "LAST-FINISH", "EXIT", "AFTER")
COLOURS = {"PENDING": "\x1b[30;107m", "RUNNING": "\x1b[97;42m", "DONE": "\x1b[32;107m",
           "FAILED": "\x1b[97;41m"}


def utc(t):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(t))


def row(name, command, status, next_run="-", last_run="-", last_finish="-", exit_code="-",
        after="-", colour=False):
    prefix = COLOURS.get(status, "") if colour else ""
    return "%s%-24s %-18s %-10s %-20s %-20s %-20s %-6s %s%s\n" % (
        prefix, name, command, status, next_run, last_run, last_finish, exit_code, after,
        "\x1b[0m" if prefix else "")


class ListTest(TempDirCase):
    def setUp(self):
        super().setUp()
        self.cfg = self.write("sched.cfg", JOBS)
        self.queue = self.path("state", "queue.state")
        self.env = base_env(TZ="UTC")

    def list(self, env=None):
        return self.sched("list", "--config", self.cfg, "--queue", self.queue,
                          env=env or self.env)

    def list_on_tty(self, **extra):
        """Runs list with its standard output on a pseudo-terminal; returns (rc, output)."""
        master, slave = pty.openpty()
        p = subprocess.Popen([SCHED, "list", "--config", self.cfg, "--queue", self.queue,
                              "--no-syslog", "--no-log"], env=base_env(TZ="UTC", **extra),
                             stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.DEVNULL)
        os.close(slave)
        chunks = []
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:  # EIO once the program has closed the terminal
                break
            if not data:
                break
            chunks.append(data)
        os.close(master)
        rc = p.wait(timeout=30)
        return rc, b"".join(chunks).decode().replace("\r\n", "\n")

    def written_queue(self):
        write_queue(self.queue, [
            encode_entry("a", "DONE", next_run=1800000000, last_run=1700000000,
                         last_finish=1700000065, exit_code=0),
            encode_entry("b", "FAILED", next_run=2 ** 63 - 1, last_run=1700000100,
                         last_finish=1700000200, exit_code=3),
            encode_entry("c", "RUNNING", pid=1234, next_run=2 ** 63 - 1, last_run=1700000300,
                         exit_code=-1),
            encode_entry("gone", "DONE", last_run=5),
        ])

    def test_without_queue_file_nothing_is_created(self):
        rc, out, err = self.list()
        self.assertEqual(rc, 0, err)
        next_jan = datetime.datetime(datetime.datetime.utcnow().year + 1, 1, 1)
        self.assertEqual(out, HEADER +
                         row("a", "agent", "PENDING", next_run=str(next_jan)) +
                         row("b", "verify", "PENDING", after="a") +
                         row("c", "maint-scrub", "PENDING", after="a,b (finished)") +
                         row("off", "agent", "DISABLED"))
        self.assertFalse(os.path.exists(self.path("state")))

    def test_columns_from_the_queue_file(self):
        self.written_queue()
        with open(self.queue, "rb") as f:
            before = f.read()
        rc, out, err = self.list()
        self.assertEqual(rc, 0, err)
        self.assertEqual(out, HEADER +
                         row("a", "agent", "DONE", utc(1800000000), utc(1700000000),
                             utc(1700000065), "0") +
                         row("b", "verify", "FAILED", "-", utc(1700000100), utc(1700000200),
                             "3", after="a") +
                         row("c", "maint-scrub", "RUNNING", "-", utc(1700000300), "-", "-1",
                             after="a,b (finished)") +
                         row("off", "agent", "DISABLED"))
        with open(self.queue, "rb") as f:
            self.assertEqual(f.read(), before, "list never writes the queue file")
        self.assertFalse(os.path.exists(self.queue + ".lock"))

    def test_colours_only_on_a_terminal(self):
        self.written_queue()
        rc, plain, _ = self.list()
        self.assertEqual(rc, 0)
        self.assertNotIn("\x1b", plain)
        cases = [
            ({}, True),
            ({"NO_COLOR": ""}, True),
            ({"NO_COLOR": "1"}, False),
        ]
        for extra, want in cases:
            with self.subTest(env=extra):
                rc, out = self.list_on_tty(**extra)
                self.assertEqual(rc, 0)
                if not want:
                    self.assertEqual(out, plain)
                    continue
                lines = out.splitlines(keepends=True)
                self.assertEqual(lines[0], HEADER)
                self.assertEqual(lines[1], COLOURS["DONE"] + plain.splitlines(True)[1][:-1] +
                                 "\x1b[0m\n")
                self.assertTrue(lines[2].startswith(COLOURS["FAILED"] + "b "))
                self.assertTrue(lines[3].startswith(COLOURS["RUNNING"] + "c "))
                self.assertEqual(lines[4], row("off", "agent", "DISABLED"))

    def test_config_failures_and_empty_config(self):
        self.write("empty.cfg", "[sched]\npoll-interval = 5\n")
        rc, out, err = self.sched("list", "--config", self.path("empty.cfg"), "--queue",
                                  self.queue, env=self.env)
        self.assertEqual((rc, out, err), (0, HEADER, ""))
        rc, out, err = self.sched("list", "--config", self.path("missing.cfg"), "--queue",
                                  self.queue, env=self.env)
        self.assertEqual((rc, out), (1, ""))
        self.assertTrue(err.startswith("error: "), err)
        os.makedirs(self.queue)
        rc, out, err = self.list()
        self.assertEqual((rc, out, err), (1, "", "error: cannot read queue %s\n" % self.queue))


if __name__ == "__main__":
    unittest.main()

"""The shared queue file under concurrent writers and killed runners: always whole, nothing lost."""

import os
import random
import re
import shutil
import signal
import subprocess
import threading
import time
import unittest

from vrktest import (QUEUE_ENTRY_BYTES, SCHED, TempDirCase, base_env, encode_entry,
                     process_gone, read_queue, wait_until)

# Jobs of command agent run true, the cheapest program there is (hundreds of runs, and slow ones
# under the sanitizers). The one of command verify, given "<pid file> <seconds>", records its pid
# (the leader of the job's process group) and sleeps, so that its run can be killed mid-job.
HOLD_PROGRAM = """#!/bin/sh
echo $$ >>"$1"
exec sleep "$2"
"""


def job_section(name, command="agent", args=None):
    text = "[%s]\ncommand = %s\nschedule = 0 0 1 1 *\n" % (name, command)
    return text + ("args = %s\n" % args if args else "")


class StressCase(TempDirCase):
    def setUp(self):
        super().setUp()
        bin_dir = self.path("bin")
        os.makedirs(bin_dir)
        os.symlink(shutil.which("true"), os.path.join(bin_dir, "vrk_agent"))
        hold = os.path.join(bin_dir, "vrk_verifier")
        with open(hold, "w") as f:
            f.write(HOLD_PROGRAM)
        os.chmod(hold, 0o755)
        self.state_dir = self.path("state")
        self.queue = os.path.join(self.state_dir, "queue.state")
        self.cfg = self.path("sched.cfg")
        self.env = base_env(PATH=bin_dir + os.pathsep + os.environ["PATH"])
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()
        super().tearDown()

    def config(self, text):
        with open(self.cfg, "w") as f:
            f.write(text)

    def argv(self, command, job, *extra):
        return [SCHED, command, job, "--config", self.cfg, "--queue", self.queue, "--job-log-dir",
                self.path("jobs"), "--job-log-keep", "2", "--no-syslog", "--no-log", *extra]

    def spawn(self, command, job, *extra):
        p = subprocess.Popen(self.argv(command, job, *extra), env=self.env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        self.procs.append(p)
        return p

    def whole_queue(self):
        """The queue file's entries, after checking that it is whole: a size that is a multiple of
        the entry size, every name printable, every state known."""
        with open(self.queue, "rb") as f:
            data = f.read()
        self.assertEqual(len(data) % QUEUE_ENTRY_BYTES, 0, "queue size %d" % len(data))
        for off in range(0, len(data), QUEUE_ENTRY_BYTES):
            raw = data[off:off + QUEUE_ENTRY_BYTES]
            name = raw[:128].split(b"\0", 1)[0]
            self.assertTrue(name and all(0x20 <= c < 0x7F for c in name), raw[:128])
            self.assertLessEqual(raw[128], 4, name)
        return read_queue(self.queue)

    def run_all(self, command, jobs, *extra):
        """Starts command for every job at once; returns (rc, stdout, stderr) of each."""
        procs = [self.spawn(command, job, *extra) for job in jobs]
        out = []
        for p in procs:
            o, e = p.communicate(timeout=120)
            out.append((p.returncode, o.decode(errors="replace"), e.decode(errors="replace")))
        return out


class FirstStartRaceTest(StressCase):
    """Many first runs at once, with neither the queue file nor its directory there yet."""

    ROUNDS = 20

    def test_simultaneous_first_runs_all_succeed(self):
        jobs = ["j%02d" % i for i in range(16)]
        self.config("".join(job_section(j) for j in jobs))
        for command, count, extra in (("run", 8, ["--force"]), ("run", 16, ["--force"]),
                                      ("start", 8, ["--force"])):
            for rnd in range(self.ROUNDS):
                where = "command=%s count=%s round=%s" % (command, count, rnd)
                shutil.rmtree(self.state_dir, ignore_errors=True)
                results = self.run_all(command, jobs[:count], *extra)
                for job, (rc, out, err) in zip(jobs, results):
                    self.assertEqual(rc, 0, "%s, %s: %s" % (where, job, err))
                    self.assertNotIn("ERROR", err, where)
                    if command == "start":
                        pid = int(re.search(r"\(pid (\d+),", out).group(1))
                        wait_until(lambda: process_gone(pid), timeout=60,
                                   what="detached child of " + job)
                entries = self.whole_queue()
                self.assertEqual(sorted(entries), jobs[:count], where)
                for job in jobs[:count]:
                    self.assertEqual((entries[job]["state"], entries[job]["exit_code"]),
                                     ("DONE", 0), "%s, %s" % (where, job))


class KilledRunTest(StressCase):
    """`run` killed with SIGKILL at random moments, each followed by a `run` of another job."""

    ITERATIONS = 60

    def run_one(self, job):
        p = self.spawn("run", job)
        o, e = p.communicate(timeout=120)
        return p.returncode, o.decode(errors="replace"), e.decode(errors="replace")

    def kill_job_groups(self, pid_file):
        """Ends the process group of every job program a killed run left behind."""
        if not os.path.exists(pid_file):
            return
        with open(pid_file) as f:
            pids = [int(l) for l in f if l.strip()]
        os.remove(pid_file)
        for pid in pids:
            try:
                os.killpg(pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass

    def test_sigkill_at_random_moments_leaves_a_whole_file(self):
        pid_file = self.path("job-pids")
        self.config(job_section("victim", "verify", "%s 0.3" % pid_file) + job_section("check"))
        rng = random.Random(os.getpid())
        stale_seen = 0
        for i in range(self.ITERATIONS):
            where = "iteration %d" % i
            p = self.spawn("run", "victim")
            if i % 2 == 0:
                time.sleep(rng.uniform(0, 0.15))
            else:
                # Half of the kills aim at the run itself: wait until it is RUNNING.
                deadline = time.monotonic() + 30
                while (p.poll() is None and time.monotonic() < deadline and
                       read_queue(self.queue).get("victim", {}).get("pid") != p.pid):
                    time.sleep(0.01)
                time.sleep(rng.uniform(0, 0.1))
            p.kill()
            p.communicate()
            self.kill_job_groups(pid_file)
            before = self.whole_queue().get("victim") if os.path.exists(self.queue) else None

            rc, _, err = self.run_one("check")
            self.assertEqual(rc, 0, "%s: %s" % (where, err))
            after = self.whole_queue()["victim"] if before else None
            line = ("ERROR vrk_sched: job 'victim' is RUNNING in the queue file, but its "
                    "runner (pid %d) is gone -- marked FAILED\n" % p.pid)
            if before and before["state"] == "RUNNING":
                stale_seen += 1
                self.assertEqual(before["pid"], p.pid, where)
                self.assertIn(line, err, where)
                self.assertEqual((after["state"], after["pid"]), ("FAILED", 0), where)
            else:
                self.assertNotIn("is RUNNING in the queue file", err, where)
                self.assertEqual(after, before, where)
        self.assertGreater(stale_seen, 0)


class ConcurrentRunsWithListTest(StressCase):
    """Forced runs of different jobs at once, while `list` reads the file in a loop."""

    ROUNDS = 20

    def test_forced_runs_lose_no_update_while_list_reads(self):
        jobs = ["j%d" % i for i in range(8)]
        self.config("".join(job_section(j) for j in jobs))
        list_failures = []
        lists = [0]
        stop = threading.Event()

        def list_loop():
            while not stop.is_set():
                try:
                    p = subprocess.run([SCHED, "list", "--config", self.cfg, "--queue",
                                        self.queue, "--no-syslog", "--no-log"], env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, timeout=60)
                except subprocess.TimeoutExpired as e:
                    list_failures.append(str(e))
                    continue
                lists[0] += 1
                rows = p.stdout.decode(errors="replace").splitlines()[1:]
                if p.returncode != 0 or p.stderr or len(rows) != len(jobs):
                    list_failures.append((p.returncode, p.stdout, p.stderr))

        lister = threading.Thread(target=list_loop)
        lister.start()
        try:
            for rnd in range(self.ROUNDS):
                where = "round %d" % rnd
                # Every entry back to "never ran", so a lost update shows as one left so.
                os.makedirs(self.state_dir, exist_ok=True)
                with open(self.queue + ".reset", "wb") as f:
                    f.write(b"".join(encode_entry(j) for j in jobs))
                os.replace(self.queue + ".reset", self.queue)
                for job, (rc, _, err) in zip(jobs, self.run_all("run", jobs, "--force")):
                    self.assertEqual(rc, 0, "%s, %s: %s" % (where, job, err))
                entries = self.whole_queue()
                self.assertEqual(sorted(entries), jobs, where)
                for job in jobs:
                    e = entries[job]
                    self.assertEqual((e["state"], e["exit_code"], e["pid"]), ("DONE", 0, 0),
                                     "%s, %s" % (where, job))
                    self.assertGreater(e["last_run"], 0, "%s, %s" % (where, job))
        finally:
            stop.set()
            lister.join(timeout=120)
        self.assertEqual(list_failures, [])
        self.assertGreater(lists[0], 0)


if __name__ == "__main__":
    unittest.main()

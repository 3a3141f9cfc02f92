"""vrk_sched run and start: results, job logs, pruning, background decision, detaching, refusal."""

import os
import re
import subprocess
import unittest

from vrktest import (SCHED, StandinCase, encode_entry, process_gone, read_queue, wait_until,
                     write_queue)

JOBS = """
[ok]
command = agent
schedule = 0 0 1 1 *
args = --exit 0

[busy]
command = agent
schedule = 0 0 1 1 *
args = --exit 75

[bad]
command = verify
schedule = 0 0 1 1 *
args = --exit 3

[slow]
command = agent
schedule = 0 0 1 1 *
args = --sleep 3

[other]
command = proxmox
schedule = 0 0 1 1 *
args = --sleep 1

[restore]
command = restore
schedule = 0 0 1 1 *

[fg-bg]
command = agent
schedule = 0 0 1 1 *
run-background = yes

[no-start-bg]
command = xenv
schedule = 0 0 1 1 *
start-background = no

[stdin]
command = restore
schedule = 0 0 1 1 *
args = --stdin
"""

# A pid far above any kernel's pid_max: never a live process.
DEAD_PID = 16000000


class RunCase(StandinCase):
    def setUp(self):
        super().setUp()
        self.config(JOBS)

    def args(self, command, job, *extra):
        return [command, job, "--config", self.cfg, "--queue", self.queue,
                "--job-log-dir", self.jobs, *extra]

    def cmd(self, command, job, *extra):
        return self.sched(*self.args(command, job, *extra), env=self.env)

    def background_run(self, job, *extra):
        """A `run` left going in the background, once its entry is RUNNING."""
        p = subprocess.Popen([SCHED, *self.args("run", job, *extra), "--no-syslog", "--no-log"],
                             env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        self.procs.append(p)
        wait_until(lambda: self.entry(job).get("state") == "RUNNING", what=job + " RUNNING")
        return p

    def entry(self, job):
        return read_queue(self.queue).get(job, {})

    def logs(self, job):
        d = os.path.join(self.jobs, job)
        return sorted(os.listdir(d)) if os.path.isdir(d) else []


class RunTest(RunCase):
    def test_results_exit_codes_and_states(self):
        cases = [
            ("ok", 0, "DONE", 0),
            ("busy", 1, "PENDING", 75),
            ("bad", 1, "FAILED", 3),
        ]
        for job, want_rc, want_state, want_code in cases:
            with self.subTest(job=job):
                rc, _, err = self.cmd("run", job)
                self.assertEqual(rc, want_rc, err)
                e = self.entry(job)
                self.assertEqual((e["state"], e["exit_code"], e["pid"]),
                                 (want_state, want_code, 0))
                self.assertGreater(e["last_run"], 0)
                self.assertGreaterEqual(e["last_finish"], e["last_run"])
                result = {0: "done", 75: "busy"}.get(want_code, "failed")
                self.assertIn("INFO  vrk_sched: job '%s' finished exit=%d timed_out=0 result=%s\n"
                              % (job, want_code, result), err)
        # A manual run leaves the next run alone: the schedule's next match is still armed.
        self.assertNotEqual(self.entry("ok")["next_run"], 0)

    def test_unknown_job(self):
        rc, out, err = self.cmd("run", "nope")
        self.assertEqual((rc, out), (1, ""))
        self.assertIn("ERROR vrk_sched: unknown job 'nope'\n", err)
        rc, out, err = self.cmd("start", "nope")
        self.assertEqual((rc, out, err), (1, "", "error: unknown job 'nope'\n"))

    def test_job_log_bytes(self):
        rc, _, err = self.cmd("run", "ok")
        self.assertEqual(rc, 0, err)
        names = self.logs("ok")
        self.assertEqual(len(names), 1)
        self.assertRegex(names[0], r"^\d{8}T\d{6}Z\.log$")
        e = self.entry("ok")
        with open(os.path.join(self.jobs, "ok", names[0]), "rb") as f:
            text = f.read().decode()
        self.assertEqual(text,
                         "job: ok\nargv: vrk_agent --exit 0\nstart_unix: %d\n\n--- output ---\n"
                         "vrk_agent [--exit] [0]\n"
                         "\n--- end ---\nfinish_unix: %d\nexit_code: 0\ntimed_out: 0\n"
                         % (e["last_run"], e["last_finish"]))

    def test_timeout_flag_and_job_timeout(self):
        rc, _, err = self.cmd("run", "slow", "--job-timeout-seconds", "1")
        self.assertEqual(rc, 1)
        self.assertIn("finished exit=143 timed_out=1 result=failed", err)
        self.assertEqual(self.entry("slow")["state"], "FAILED")

    def test_prune_keeps_newest(self):
        d = os.path.join(self.jobs, "ok")
        os.makedirs(d)
        old = ["2020010%dT000000Z.log" % i for i in range(1, 4)]
        for n in old + ["README"]:
            open(os.path.join(d, n), "w").close()
        rc, _, err = self.cmd("run", "ok", "--job-log-keep", "2")
        self.assertEqual(rc, 0, err)
        names = self.logs("ok")
        self.assertEqual(len(names), 3)
        self.assertEqual(names[0], "20200103T000000Z.log")
        self.assertEqual(names[-1], "README")
        rc, _, _ = self.cmd("run", "ok", "--job-log-keep", "0")
        self.assertGreaterEqual(len(self.logs("ok")), 3)

    def test_prune_counts_only_run_logs(self):
        d = os.path.join(self.jobs, "ok")
        os.makedirs(d)
        strays = ["0.log", "20200101T000000Z.log.log", "notes.log"]
        for n in strays + ["20200101T000000Z.log"]:
            open(os.path.join(d, n), "w").close()
        rc, _, err = self.cmd("run", "ok", "--job-log-keep", "1")
        self.assertEqual(rc, 0, err)
        names = self.logs("ok")
        runs = [n for n in names if re.fullmatch(r"\d{8}T\d{6}Z\.log", n)]
        self.assertEqual(len(runs), 1, names)
        self.assertNotEqual(runs[0], "20200101T000000Z.log")  # the new run's log stays
        self.assertEqual([n for n in names if n not in runs], strays)

    def test_background_decision(self):
        cases = [
            # command, job, flags, --background expected
            ("run", "ok", [], False),
            ("run", "ok", ["--background"], True),
            ("run", "fg-bg", [], True),
            ("run", "fg-bg", ["--no-background"], False),
            ("start", "ok", [], True),
            ("start", "ok", ["--no-background"], False),
            ("start", "no-start-bg", [], False),
            ("start", "no-start-bg", ["--background"], True),
            ("start", "restore", [], False),
        ]
        for command, job, flags, want in cases:
            with self.subTest(command=command, job=job, flags=flags):
                before = len(self.runs())
                rc, out, err = self.cmd(command, job, *flags)
                self.assertEqual(rc, 0, err)
                if command == "start":
                    self.assertEqual(err, "")
                    m = re.search(r"\(pid (\d+), %s --background\), log: %s/%s/\n$"
                                  % ("with" if want else "without", re.escape(self.jobs), job),
                                  out)
                    self.assertIsNotNone(m, out)
                    wait_until(lambda: process_gone(int(m.group(1))), what="detached child")
                    self.assertEqual(self.entry(job)["state"], "DONE")
                self.assertEqual(len(self.runs()), before + 1)
                self.assertEqual("--background" in self.runs()[-1], want, self.runs()[-1])

    def test_background_note_and_both_flags(self):
        for command in ("run", "start"):
            with self.subTest(command=command):
                rc, out, err = self.cmd(command, "ok", "--background", "--no-background")
                self.assertEqual((rc, out), (2, ""))
                self.assertEqual(err,
                                 "error: --background and --no-background are mutually "
                                 "exclusive\n")
        self.assertFalse(os.path.exists(self.queue))
        rc, _, err = self.cmd("run", "restore", "--background")
        self.assertEqual(rc, 0, err)
        self.assertTrue(err.startswith(
            "note: --background ignored, command=restore does not take it\n"), err)
        self.assertEqual(self.runs()[-1], ("vrk_restore",))

    def test_usage_config_and_queue_failures(self):
        for args in (["run"], ["start"], ["run", "-x"], ["start", "--force"]):
            with self.subTest(args=args):
                rc, out, _ = self.sched(*args, "--config", self.cfg, "--queue", self.queue,
                                        env=self.env)
                self.assertEqual(rc, 2)
                self.assertIn("Usage: vrk_sched daemon", out)
        missing = self.path("missing.cfg")
        rc, _, err = self.sched("run", "ok", "--config", missing, "--queue", self.queue,
                                env=self.env)
        self.assertEqual(rc, 2)
        self.assertTrue(err.startswith("error: "), err)
        self.write("file", "")
        bad_queue = self.path("file", "queue.state")
        rc, _, err = self.sched("start", "ok", "--config", self.cfg, "--queue", bad_queue,
                                env=self.env)
        self.assertEqual((rc, err), (1, "error: cannot open queue %s\n" % bad_queue))

    def test_start_detaches_and_job_finishes_later(self):
        rc, out, err = self.cmd("start", "slow")
        self.assertEqual((rc, err), (0, ""))
        m = re.fullmatch(r"started job 'slow' in the background \(pid (\d+), with --background\), "
                         r"log: (.*)/slow/\n", out)
        self.assertIsNotNone(m, out)
        self.assertEqual(m.group(2), self.jobs)
        self.assertNotEqual(self.entry("slow").get("state"), "DONE")
        e = wait_until(lambda: self.entry("slow").get("state") == "RUNNING" and self.entry("slow"),
                       what="slow RUNNING")
        self.assertEqual(e["pid"], int(m.group(1)))
        wait_until(lambda: process_gone(e["pid"]), what="detached child")
        self.assertEqual(self.entry("slow")["state"], "DONE")

    def test_detached_job_gets_dev_null_as_stdin(self):
        # Started with standard input closed, /dev/null lands on descriptor 0 itself.
        p = subprocess.run(["/bin/sh", "-c", 'exec "$@" <&-', "sh", SCHED,
                            *self.args("start", "stdin"), "--no-syslog", "--no-log"],
                           env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        pid = int(re.search(r"\(pid (\d+),", p.stdout.decode()).group(1))
        wait_until(lambda: process_gone(pid), what="detached child")
        self.assertEqual(self.entry("stdin")["state"], "DONE")
        with open(os.path.join(self.jobs, "stdin", self.logs("stdin")[0])) as f:
            self.assertIn("\nstdin: /dev/null\n", f.read())

    def test_refused_while_another_job_runs(self):
        runner = self.background_run("slow")
        pid = runner.pid
        self.assertEqual(self.entry("slow")["pid"], pid)
        rc, out, err = self.cmd("start", "other")
        self.assertEqual((rc, out), (1, ""))
        self.assertEqual(err, "error: job 'slow' is RUNNING (pid %d) -- jobs run one at a time, "
                         "try again later (or use --force to run 'other' alongside it)\n" % pid)
        rc, _, err = self.cmd("start", "slow")
        self.assertEqual(rc, 1)
        self.assertEqual(err, "error: job 'slow' is already RUNNING (pid %d; use --force to "
                         "override)\n" % pid)
        rc, _, err = self.cmd("run", "other")
        self.assertEqual(rc, 1)
        self.assertIn("ERROR vrk_sched: job 'slow' is RUNNING (pid %d) -- jobs run one at a time, "
                      "try again later (or use --force to run 'other' alongside it)\n" % pid, err)
        self.assertIn("ERROR vrk_sched: job 'slow' is already RUNNING", self.cmd("run", "slow")[2])
        self.assertNotIn(self.entry("other").get("state"), ("RUNNING", "DONE"))

        # --force runs alongside: both entries are RUNNING at once.
        forced = self.background_run("other", "--force")
        self.assertEqual(self.entry("slow")["state"], "RUNNING")
        self.assertEqual(forced.wait(timeout=30), 0)
        self.assertEqual(runner.wait(timeout=30), 0)
        self.assertEqual(self.entry("other")["state"], "DONE")
        self.assertEqual(self.entry("slow")["state"], "DONE")

    def test_stale_running_entry_is_marked_failed(self):
        write_queue(self.queue, [encode_entry("slow", "RUNNING", pid=DEAD_PID, last_run=1)])
        rc, out, err = self.cmd("start", "ok")
        self.assertEqual(rc, 0, err)
        pid = int(re.search(r"\(pid (\d+),", out).group(1))
        wait_until(lambda: process_gone(pid), what="detached child")
        self.assertEqual(self.entry("ok")["state"], "DONE")
        self.assertEqual((self.entry("slow")["state"], self.entry("slow")["pid"]), ("FAILED", 0))

        write_queue(self.queue, [encode_entry("slow", "RUNNING", pid=DEAD_PID, last_run=1)])
        rc, _, err = self.cmd("run", "ok")
        self.assertEqual(rc, 0, err)
        self.assertIn("ERROR vrk_sched: job 'slow' is RUNNING in the queue file, but its runner "
                      "(pid %d) is gone -- marked FAILED\n" % DEAD_PID, err)
        self.assertEqual(self.entry("slow")["state"], "FAILED")


if __name__ == "__main__":
    unittest.main()

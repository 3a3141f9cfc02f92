"""vrk_sched daemon: scheduling, retries, dependencies, reloads, foreign runs, stop."""

import os
import re
import signal
import subprocess
import time
import unittest

from vrktest import SCHED, StandinCase, process_gone, read_queue, run


class DaemonCase(StandinCase):
    """Starts the real daemon with stand-in programs on PATH and a 1 s poll interval."""

    def setUp(self):
        super().setUp()
        self.errlog = self.path("daemon.err")
        self.proc = None

    def tearDown(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if getattr(self, "err", None):
            self.err.close()
        super().tearDown()

    def start(self, *extra):
        self.err = open(self.errlog, "wb")
        self.proc = subprocess.Popen([SCHED, "daemon", *self.common(), "--poll-interval", "1",
                                      *extra], env=self.env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self.err)
        self.wait_log("vrk_sched daemon started")

    def stop(self, timeout=10):
        self.proc.send_signal(signal.SIGTERM)
        rc = self.proc.wait(timeout=timeout)
        self.err.close()
        return rc

    def log(self):
        with open(self.errlog, encoding="utf-8", errors="replace") as f:
            return f.read()

    def log_lines(self, needle):
        return [l for l in self.log().splitlines() if needle in l]

    def wait_for(self, cond, timeout=20, what="condition"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if cond():
                return
            if self.proc and self.proc.poll() is not None:
                self.fail("daemon exited (%s) while waiting for %s:\n%s"
                          % (self.proc.returncode, what, self.log()))
            time.sleep(0.1)
        self.fail("timed out waiting for %s; log:\n%s" % (what, self.log()))

    def wait_log(self, needle, count=1, timeout=20):
        self.wait_for(lambda: len(self.log_lines(needle)) >= count, timeout, repr(needle))

    def tags(self):
        """The --print tag of every run, in start order."""
        out = []
        for r in self.runs():
            args = list(r[1:])
            out.append(args[args.index("--print") + 1] if "--print" in args else r[0])
        return out

    def listing(self):
        rc, out, err = run([SCHED, "list", "--config", self.cfg, "--queue", self.queue,
                            "--no-syslog", "--no-log"], env=self.env)
        self.assertEqual(rc, 0, err)
        rows = {}
        for line in out.splitlines()[1:]:
            rows[line[:24].strip()] = line
        return rows


class SchedulingTest(DaemonCase):
    def test_due_jobs_run_back_to_back_in_file_order(self):
        self.config("[b-second]\nschedule = * * * * *\nargs = --print second\n"
                    "[a-first]\nschedule = * * * * *\nargs = --print first\n")
        self.start()
        self.wait_log("job 'a-first' finished")
        self.assertEqual(self.tags(), ["second", "first"])
        starts = [l for l in self.log().splitlines() if "starting (vrk_agent)" in l]
        self.assertEqual(len(starts), 2)
        self.assertEqual(self.stop(), 0)

    def test_busy_exit_is_retried_after_busy_retry_seconds(self):
        self.config("[busy]\nschedule = * * * * *\nargs = --exit 75 --print busy\n")
        self.start("--busy-retry-seconds", "2")
        self.wait_log("result=busy", count=2, timeout=30)
        first, second = self.log_lines("result=busy")[:2]
        self.assertIn("job 'busy' finished exit=75 timed_out=0 result=busy", first)
        self.assertEqual(self.stop(), 0)
        self.assertIn("PENDING", self.listing()["busy"])

    def test_once_job_runs_once_then_never(self):
        self.config("[once]\nonce = %d\nargs = --print once\n" % (int(time.time()) + 2))
        self.start()
        self.wait_log("job 'once' finished")
        time.sleep(2.5)
        self.assertEqual(self.stop(), 0)
        self.assertEqual(self.tags(), ["once"])
        row = self.listing()["once"]
        self.assertIn("DONE", row)
        self.assertEqual(row.split()[3], "-")  # NEXT-RUN is never

    def test_after_modes_and_one_trigger_per_dependent(self):
        now = int(time.time())
        self.config("[a]\nonce = %d\nargs = --exit 1 --print a\n"
                    "[needs-success]\nafter = a\nargs = --print success\n"
                    "[needs-finish]\nafter = a\nafter-mode = finished\nargs = --print finished\n"
                    "[ok]\nonce = %d\nargs = --print ok\n"
                    "[after-ok]\nafter = ok\nargs = --print after-ok\n" % (now, now))
        self.start()
        self.wait_log("job 'after-ok' finished")
        time.sleep(3)
        self.assertEqual(self.stop(), 0)
        self.assertEqual(sorted(self.tags()), sorted(["a", "finished", "ok", "after-ok"]))
        self.assertEqual(self.tags().count("after-ok"), 1)

    def test_safety_guard_for_after_only_job_that_ends_busy(self):
        self.config("[a]\nonce = %d\nargs = --print a\n"
                    "[b]\nafter = a\nargs = --exit 75 --print b\n" % int(time.time()))
        self.start("--busy-retry-seconds", "0")
        self.wait_log("safety guard tripped in the dispatch loop")
        self.assertEqual(self.stop(), 0)
        # Two jobs: at most jobs + 1 passes without a sleep before the guard.
        self.assertLessEqual(self.tags().count("b"), 3)


class ReloadTest(DaemonCase):
    def test_touch_reloads_and_garbage_keeps_the_old_configuration(self):
        self.config("[a]\nenabled = no\n")
        self.start()
        os.utime(self.cfg, (time.time() + 5, time.time() + 5))
        self.wait_log("vrk_sched: reloaded %s" % self.cfg)
        self.config("[a]\nenabled = no\nthis is garbage\n")
        self.wait_log("config reload failed, keeping previous config: %s:3: expected key=value"
                      % self.cfg)
        time.sleep(2.5)
        self.assertEqual(len(self.log_lines("config reload failed")), 1)
        self.config("[a]\nenabled = no\nmore garbage\n\n")
        self.wait_log("config reload failed", count=2)
        self.config("[a]\nschedule = * * * * *\nargs = --print back\n")
        self.wait_log("job 'a' finished")
        self.assertEqual(self.stop(), 0)

    def test_deleted_queue_file_and_job_log_dir_do_not_stop_the_daemon(self):
        self.config("[a]\nenabled = no\n")
        self.start()
        os.remove(self.queue)
        self.config("[a]\nschedule = * * * * *\nargs = --print a\n")
        self.wait_log("job 'a' finished")
        self.assertTrue(os.path.exists(self.queue))
        self.assertEqual(self.stop(), 0)


class ForeignRunTest(DaemonCase):
    def test_run_in_another_process_blocks_the_daemon(self):
        # A disabled job's entry would be turned DISABLED by the daemon's reconciliation, so the
        # long job is enabled with a schedule that never matches.
        self.config("[long]\nschedule = 0 0 31 2 *\nargs = --sleep 4 --print long\n"
                    "[tick]\nschedule = * * * * *\nargs = --print tick\n")
        other = subprocess.Popen([SCHED, "run", "long", *self.common()], env=self.env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while "long" not in self.tags() and time.monotonic() < deadline:
                time.sleep(0.05)
            self.start()
            self.wait_log("job 'long' is running in another process (pid %d) -- no job is "
                          "started before it ends" % other.pid)
            self.assertEqual(other.wait(timeout=20), 0)
        finally:
            if other.poll() is None:
                other.kill()
        self.wait_log("job 'tick' finished")
        self.assertEqual(self.tags(), ["long", "tick"])
        self.assertEqual(len(self.log_lines("is running in another process")), 1)
        self.assertEqual(self.stop(), 0)

    def test_disabling_a_job_that_runs_elsewhere_still_blocks_the_daemon(self):
        self.config("[long]\nschedule = 0 0 31 2 *\nargs = --sleep 8 --print long\n")
        self.start()
        rc, out, err = run([SCHED, "start", "long", *self.common()], env=self.env)
        self.assertEqual(rc, 0, err)
        runner = int(re.search(r"\(pid (\d+),", out).group(1))
        self.wait_for(lambda: "long" in self.tags(), what="long started")
        # Disabled while it runs, with another job due a few seconds later.
        self.config("[long]\nenabled = no\nschedule = 0 0 31 2 *\nargs = --sleep 8 --print long\n"
                    "[next]\nonce = %d\nargs = --print next\n" % (int(time.time()) + 3))
        self.wait_log("vrk_sched: reloaded %s" % self.cfg)
        self.wait_log("job 'next' finished", timeout=60)
        self.wait_for(lambda: process_gone(runner), what="long's runner gone")
        self.wait_for(lambda: read_queue(self.queue)["long"]["state"] == "DISABLED",
                      what="long disabled")
        self.assertEqual(self.stop(), 0)
        long_entry, next_entry = read_queue(self.queue)["long"], read_queue(self.queue)["next"]
        # The long run ended before the next one began, and only then was it disabled.
        self.assertGreaterEqual(next_entry["last_run"], long_entry["last_finish"])
        self.assertEqual((long_entry["state"], long_entry["exit_code"]), ("DISABLED", 0))
        self.assertEqual(self.tags(), ["long", "next"])
        self.assertEqual(len(self.log_lines("job 'long' is running in another process (pid %d)"
                                            % runner)), 1)


class StopTest(DaemonCase):
    def test_sigterm_while_sleeping_ends_within_a_second_or_so(self):
        self.config("")
        self.start("--poll-interval", "30")
        time.sleep(0.5)
        t0 = time.monotonic()
        self.assertEqual(self.stop(), 0)
        # Far below the 30 s poll interval; generous, as the machine is shared.
        self.assertLess(time.monotonic() - t0, 10)
        self.assertEqual(len(self.log_lines("vrk_sched daemon stopping (signal received)")), 1)

    def test_sigterm_during_a_run_lets_the_job_end(self):
        self.config("[slow]\nschedule = * * * * *\nargs = --sleep 2 --print slow\n")
        self.start()
        self.wait_log("job 'slow' starting")
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(timeout=20), 0)
        self.assertEqual(len(self.log_lines("job 'slow' finished exit=0 timed_out=0 result=done")),
                         1)
        self.assertIn("DONE", self.listing()["slow"])

    def test_start_failures(self):
        rc, _, err = run([SCHED, "daemon", "--config", self.path("missing.cfg"), "--queue",
                          self.queue, "--no-syslog", "--no-log"], env=self.env)
        self.assertEqual((rc, err), (2, "error: cannot read the configuration file %s\n"
                                     % self.path("missing.cfg")))
        self.config("")
        blocker = self.write("file", "x")
        rc, _, err = run([SCHED, "daemon", "--config", self.cfg, "--queue",
                          os.path.join(blocker, "queue.state"), "--no-syslog", "--no-log"],
                         env=self.env, timeout=30)
        self.assertEqual(rc, 1)
        self.assertIn("vrk_sched daemon exited with ", err)


if __name__ == "__main__":
    unittest.main()

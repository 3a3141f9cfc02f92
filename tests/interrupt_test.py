"""Interruptions: signals to run and start, SIGHUP to the daemon, a queue file that cannot be
written, and a configuration file caught in the middle of being rewritten."""

import os
import signal
import subprocess
import time
import unittest

from vrktest import SCHED, StandinCase, process_gone, read_queue, wait_until


class Case(StandinCase):
    def tearDown(self):
        for pid in self.standin_pids():
            os.kill(pid, signal.SIGKILL)
        super().tearDown()
        for p in self.procs:
            p.err.close()
            p.stdout.close()

    def popen(self, *args):
        err = open(self.path("err-%d" % len(self.procs)), "w+b")
        p = subprocess.Popen([SCHED, *args, *self.common()], env=self.env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        p.err = err
        self.procs.append(p)
        return p

    def text(self, p):
        p.err.flush()
        with open(p.err.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def standin_pids(self):
        """Pids of stand-in programs started by this test (found by their record variable)."""
        out = []
        for d in os.listdir("/proc"):
            if not d.isdigit():
                continue
            try:
                with open("/proc/%s/environ" % d, "rb") as f:
                    env = f.read()
            except OSError:
                continue
            if ("VRK_STANDIN_RECORD=" + self.record).encode() in env.split(b"\0"):
                out.append(int(d))
        return [p for p in out if not process_gone(p)]

    def job_logs(self, job):
        d = os.path.join(self.jobs, job)
        return sorted(os.listdir(d)) if os.path.isdir(d) else []

    def job_log_text(self, job):
        logs = self.job_logs(job)
        self.assertEqual(len(logs), 1, logs)
        with open(os.path.join(self.jobs, job, logs[0])) as f:
            return f.read()

    def block_queue_writes(self):
        # Root ignores file modes, so a directory where the temporary file goes stands in for
        # a read-only or full file system: every save fails at its open.
        os.makedirs(self.queue + ".tmp")

    def unblock_queue_writes(self):
        os.rmdir(self.queue + ".tmp")


class RunSignalTest(Case):
    def test_signal_cancels_the_job_and_records_it(self):
        self.config("[long]\ncommand = agent\nschedule = 0 0 1 1 *\nargs = --sleep 60\n")
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(sig=sig.name):
                self.setUp_round()
                p = self.popen("run", "long")
                wait_until(lambda: len(self.runs()) == 1, what="the job to start")
                job_pids = self.standin_pids()
                self.assertTrue(job_pids)
                p.send_signal(sig)
                rc = p.wait(timeout=30)
                err = self.text(p)
                self.assertEqual(rc, 1, err)
                # The stand-in traps SIGTERM and exits 143.
                self.assertIn("job 'long' finished exit=143 timed_out=0 cancelled=1 result=failed",
                              err)
                log = self.job_log_text("long")
                self.assertIn("\n--- end ---\n", log)
                self.assertTrue(log.endswith("cancelled: 1\ncancelled_by: signal %s\n" % sig.name),
                                log)
                e = read_queue(self.queue)["long"]
                self.assertEqual((e["state"], e["pid"], e["exit_code"]), ("FAILED", 0, 143))
                # No orphan: the job's whole group got the stop. A child of the stand-in may
                # take a moment longer than the stand-in itself; one left running would
                # sleep on for its 60 s.
                wait_until(lambda: all(process_gone(q) for q in job_pids), timeout=15,
                           what="the job's processes to end")

    def setUp_round(self):
        for f in (self.record,):
            if os.path.exists(f):
                os.remove(f)
        subprocess.run(["rm", "-rf", self.jobs, os.path.dirname(self.queue)], check=True)

    def test_start_child_cancels_its_job_on_sigterm(self):
        self.config("[long]\ncommand = agent\nschedule = 0 0 1 1 *\nargs = --sleep 60\n")
        p = self.popen("start", "long")
        out, _ = p.communicate(timeout=30)
        self.assertEqual(p.returncode, 0, self.text(p))
        child = int(out.decode().split("(pid ")[1].split(",")[0])
        wait_until(lambda: len(self.runs()) == 1, what="the job to start")
        os.kill(child, signal.SIGTERM)
        wait_until(lambda: read_queue(self.queue)["long"]["state"] == "FAILED", timeout=30,
                   what="the cancelled run to be recorded")
        self.assertTrue(self.job_log_text("long").endswith("cancelled_by: signal SIGTERM\n"))
        wait_until(lambda: not self.standin_pids(), what="the job to end")


class QueueNotWritableTest(Case):
    JOB = "[nightly]\ncommand = agent\nschedule = * * * * *\nargs = --print ran\n"

    def test_run_and_start_refuse_without_starting_the_job(self):
        self.config(self.JOB)
        os.makedirs(os.path.dirname(self.queue), exist_ok=True)
        with open(self.queue, "wb"):
            pass
        self.block_queue_writes()
        why = "job 'nightly' not started: cannot save the queue %s: open: Is a directory" % self.queue
        p = self.popen("run", "nightly")
        p.wait(timeout=30)
        self.assertEqual(p.returncode, 1)
        self.assertIn("vrk_sched: " + why, self.text(p))
        p = self.popen("start", "nightly")
        out, _ = p.communicate(timeout=30)
        self.assertEqual(p.returncode, 1, out)
        self.assertIn("error: " + why + "\n", self.text(p))
        self.assertEqual(out, b"")
        time.sleep(0.5)
        self.assertEqual(self.runs(), [])
        self.assertEqual(self.job_logs("nightly"), [])

    def test_daemon_never_reruns_a_job_whose_state_cannot_be_saved(self):
        self.config(self.JOB)
        os.makedirs(os.path.dirname(self.queue))
        with open(self.queue, "wb"):
            pass
        self.block_queue_writes()
        d = self.popen("daemon", "--poll-interval", "1")
        wait_until(lambda: "not started" in self.text(d), what="the refusal")
        time.sleep(3)
        err = self.text(d)
        self.assertEqual(self.runs(), [])
        self.assertEqual(err.count("job 'nightly' not started"), 1, err)
        self.assertEqual(err.count("ERROR vrk_sched: cannot save the queue"), 1, err)
        self.assertNotIn("safety guard", err)
        # Writable again: the job runs once, and its end state reaches the file.
        self.unblock_queue_writes()
        wait_until(lambda: read_queue(self.queue).get("nightly", {}).get("state") == "DONE",
                   what="the run to be recorded")
        time.sleep(2)
        self.assertEqual(len(self.runs()), 1)
        d.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout=30), 0)

    def test_daemon_keeps_an_end_state_it_could_not_write(self):
        self.config("[nightly]\ncommand = agent\nonce = 1\nargs = --sleep 2\n")
        d = self.popen("daemon", "--poll-interval", "1")
        wait_until(lambda: len(self.runs()) == 1, what="the job to start")
        self.block_queue_writes()
        wait_until(lambda: "job 'nightly' finished" in self.text(d), what="the end of the run")
        time.sleep(3)
        self.assertEqual(len(self.runs()), 1, self.text(d))
        self.unblock_queue_writes()
        wait_until(lambda: read_queue(self.queue)["nightly"]["state"] == "DONE",
                   what="the kept end state to be saved")
        time.sleep(2)
        self.assertEqual(len(self.runs()), 1, self.text(d))
        d.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout=30), 0)


class DaemonReloadTest(Case):
    def test_sighup_rereads_the_configuration_and_keeps_running(self):
        self.config("[a]\ncommand = agent\nschedule = 0 0 1 1 *\n")
        d = self.popen("daemon", "--poll-interval", "60")
        wait_until(lambda: "vrk_sched daemon started" in self.text(d), what="the start")
        d.send_signal(signal.SIGHUP)
        wait_until(lambda: "vrk_sched: reloaded %s" % self.cfg in self.text(d),
                   what="the reload")
        self.assertIn("vrk_sched: SIGHUP received, re-reading %s" % self.cfg, self.text(d))
        self.assertIsNone(d.poll())
        d.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout=30), 0)
        self.assertIn("vrk_sched daemon stopping (signal received)", self.text(d))

    def test_file_caught_mid_write_is_not_loaded(self):
        whole = ("[restore]\ncommand = restore\nonce = 1\nargs = --print restore\n"
                 "[later]\ncommand = agent\nschedule = 0 0 1 1 *\n")
        self.config(whole)
        d = self.popen("daemon", "--poll-interval", "1")
        wait_until(lambda: "job 'restore' finished" in self.text(d), what="the once job")
        for _ in range(3):
            # Truncated, then written again in place a moment later, as an editor might.
            with open(self.cfg, "w") as f:
                f.flush()
                time.sleep(0.3)
                f.write(whole)
            time.sleep(0.2)
        wait_until(lambda: self.text(d).count("vrk_sched: reloaded") >= 1, timeout=30,
                   what="the settled file to be loaded")
        time.sleep(1.5)
        err = self.text(d)
        self.assertNotIn("dropping its queue record", err)
        self.assertEqual([r[0] for r in self.runs()], ["vrk_restore"], err)
        d.send_signal(signal.SIGTERM)
        self.assertEqual(d.wait(timeout=30), 0)


if __name__ == "__main__":
    unittest.main()

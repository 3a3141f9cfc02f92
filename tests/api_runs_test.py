"""Runs through the API end to end: the real daemon and network process, signed admin requests
over HTTPS that queue and cancel runs of stand-in jobs, read tokens that list runs and follow a
growing job log chunk by chunk, and test mails to an SMTP server (aiosmtpd) that the test holds
back until it has seen them pending."""

import asyncio
import glob
import http.client
import json
import os
import re
import socket
import ssl
import threading
import time
import unittest

from daemon_test import DaemonCase
from vrktest import api_signed_authorization, free_port, start_with_api_tokens

HOST = socket.gethostname() or "localhost"
# Far from today: the daemon never starts these jobs on its own.
NEVER = "schedule = 0 0 1 1 *\n"


class ApiRunsCase(DaemonCase):
    """The daemon with the API on a free port, tokens "reader" (read) and "adm" (admin)."""

    extra_config = ""

    def setUp(self):
        super().setUp()
        self.port = free_port()
        self.config("[api]\nenabled = yes\nlisten = 127.0.0.1:%d\ncert = %s\nkey = %s\n"
                    "tokens-file = %s\n\n%s"
                    % (self.port, self.path("api.crt"), self.path("api.key"),
                       self.path("tokens"), self.jobs_config()))
        start_with_api_tokens(self)

    def jobs_config(self):
        return self.extra_config

    def call(self, method, path, query=""):
        """(status, parsed body) of one request: admin-signed for POST, read token for GET."""
        if method == "POST":
            ts = str(int(time.time()))
            nonce = os.urandom(16).hex()
            auth = api_signed_authorization("adm", self.secrets["adm"], method, path, query, ts,
                                            nonce)
        else:
            auth = "Bearer reader." + self.secrets["reader"]
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=ctx, timeout=10)
        conn.request(method, path + ("?" + query if query else ""),
                     headers={"Authorization": auth})
        r = conn.getresponse()
        body = r.read()
        conn.close()
        return r.status, json.loads(body)

    def runs_of(self, job):
        status, body = self.call("GET", "/api/v1/jobs/%s/runs" % job)
        self.assertEqual(status, 200, body)
        return body["runs"]

    def log_file(self, job):
        files = glob.glob(os.path.join(self.jobs, job, "*.log"))
        self.assertEqual(len(files), 1, files)
        with open(files[0], "rb") as f:
            return os.path.basename(files[0])[:-4], f.read()


class RunTest(ApiRunsCase):
    extra_config = ("[slow]\n" + NEVER + "args = --sleep 30 --print slow-out\n"
                    "[quick]\n" + NEVER + "args = --print quick-out\n"
                    "[other]\n" + NEVER + "args = --print other-out\n"
                    "[restore]\ncommand = restore\n" + NEVER)

    def test_queued_runs_start_with_their_logs(self):
        status, body = self.call("POST", "/api/v1/jobs/slow/run")
        self.assertEqual((status, body), (202, {"queued": True, "already_queued": False,
                                                "position": 1, "running_job": None}))
        self.wait_log("vrk_sched: job 'slow' started on request of API token 'adm'")
        self.wait_log("vrk_sched API: token 'adm' from 127.0.0.1 queued a run of job 'slow'")
        # While slow runs, quick waits in the queue; slow itself cannot be queued.
        status, body = self.call("POST", "/api/v1/jobs/quick/run")
        self.assertEqual((status, body), (202, {"queued": True, "already_queued": False,
                                                "position": 1, "running_job": "slow"}))
        status, body = self.call("POST", "/api/v1/jobs/quick/run")
        self.assertEqual((status, body["already_queued"], body["position"]), (202, True, 1))
        status, body = self.call("POST", "/api/v1/jobs/slow/run")
        self.assertEqual((status, body["error"]), (409, {
            "code": "job_running", "message": "job 'slow' is already running"}))
        status, body = self.call("POST", "/api/v1/jobs/restore/run")
        self.assertEqual((status, body["error"]["code"]), (403, "command_not_allowed"))

        status, body = self.call("POST", "/api/v1/jobs/slow/cancel")
        self.assertEqual((status, body), (202, {"cancelled": "stop_requested"}))
        self.wait_log("vrk_sched: job 'quick' finished exit=0 timed_out=0 result=done")
        self.assertEqual([r[0] for r in self.runs()], ["vrk_agent", "vrk_agent"])
        self.assertEqual(self.tags(), ["slow-out", "quick-out"])

        run_id, text = self.log_file("quick")
        runs = self.runs_of("quick")
        self.assertEqual(len(runs), 1)
        finish = int(re.search(rb"^finish_unix: (\d+)$", text, re.M).group(1))
        self.assertEqual(runs[0], {"id": run_id, "start": int(re.search(
            rb"^start_unix: (\d+)$", text, re.M).group(1)), "finished": True, "finish": finish,
            "exit_code": 0, "timed_out": False, "cancelled": False, "size": len(text)})
        status, body = self.call("GET", "/api/v1/jobs/quick/runs/%s/log" % run_id)
        self.assertEqual(status, 200, body)
        self.assertEqual(body, {"id": run_id, "offset": 0, "size": len(text), "finished": True,
                                "data": text.decode(), "length": len(text),
                                "next_offset": len(text)})
        self.assertTrue(body["data"].startswith("job: quick\nargv: vrk_agent "), body["data"])
        self.assertIn("\n--- output ---\nvrk_agent ", body["data"])
        self.assertTrue(body["data"].endswith("quick-out\n\n--- end ---\nfinish_unix: %d\n"
                                              "exit_code: 0\ntimed_out: 0\n" % finish))

    def test_cancel_of_a_running_job_and_of_a_queued_run(self):
        status, _ = self.call("POST", "/api/v1/jobs/slow/run")
        self.assertEqual(status, 202)
        self.wait_for(lambda: os.path.exists(self.record), what="slow to start")
        runs = self.runs_of("slow")
        self.assertEqual(len(runs), 1)
        self.assertEqual((runs[0]["finished"], runs[0]["finish"], runs[0]["exit_code"]),
                         (False, None, None))
        # The stand-in sets its SIGTERM trap right after it has recorded its start.
        time.sleep(0.5)

        status, body = self.call("POST", "/api/v1/jobs/other/run")
        self.assertEqual((status, body["position"]), (202, 1))
        status, body = self.call("POST", "/api/v1/jobs/other/cancel")
        self.assertEqual((status, body), (200, {"cancelled": "queued_run_removed"}))
        self.wait_log("vrk_sched API: token 'adm' from 127.0.0.1 removed the queued run of job "
                      "'other'")

        status, body = self.call("POST", "/api/v1/jobs/slow/cancel")
        self.assertEqual((status, body), (202, {"cancelled": "stop_requested"}))
        self.wait_log("vrk_sched: job 'slow' finished exit=143 timed_out=0 cancelled=1 "
                      "result=failed", timeout=15)
        self.assertEqual(len(self.log_lines(
            "WARN  vrk_sched API: token 'adm' from 127.0.0.1 cancels running job 'slow'")), 1)
        _, text = self.log_file("slow")
        self.assertIn(b"vrk_agent: terminated\n", text)
        self.assertRegex(text.decode(),
                         r"\n--- end ---\nfinish_unix: \d+\nexit_code: 143\ntimed_out: 0\n"
                         r"cancelled: 1\ncancelled_by: API token adm\n$")
        runs = self.runs_of("slow")
        self.assertEqual((runs[0]["finished"], runs[0]["exit_code"], runs[0]["cancelled"],
                          runs[0]["timed_out"]), (True, 143, True, False))
        status, body = self.call("POST", "/api/v1/jobs/slow/cancel")
        self.assertEqual((status, body["error"]), (409, {
            "code": "not_running", "message": "job 'slow' is not running"}))
        # The removed run never started.
        time.sleep(1.5)
        self.assertEqual(self.tags(), ["slow-out"])


class HandEditTest(ApiRunsCase):
    extra_config = ("[slow]\n" + NEVER + "args = --sleep 30 --print slow-out\n"
                    "[gone]\n" + NEVER + "args = --print gone-out\n"
                    "[changed]\n" + NEVER + "args = --print changed-out\n")

    def test_queued_runs_of_jobs_edited_away_by_hand_are_dropped(self):
        status, _ = self.call("POST", "/api/v1/jobs/slow/run")
        self.assertEqual(status, 202)
        self.wait_for(lambda: os.path.exists(self.record), what="slow to start")
        # The stand-in sets its SIGTERM trap right after it has recorded its start.
        time.sleep(0.5)
        for position, job in enumerate(("gone", "changed"), 1):
            status, body = self.call("POST", "/api/v1/jobs/%s/run" % job)
            self.assertEqual((status, body["position"]), (202, position))
        # While slow runs, the file loses one queued job and the other becomes a restore.
        with open(self.cfg) as f:
            text = f.read()
        edited = text.replace("[gone]\n" + NEVER + "args = --print gone-out\n", "").replace(
            "[changed]\n", "[changed]\ncommand = restore\n")
        self.assertNotEqual(edited, text)
        self.config(edited)
        # Old enough to be loaded at the daemon's next look, with no settling wait.
        past = time.time() - 10
        os.utime(self.cfg, (past, past))

        status, _ = self.call("POST", "/api/v1/jobs/slow/cancel")
        self.assertEqual(status, 202)
        self.wait_log("WARN  vrk_sched: API run request for job 'gone' dropped: no such job "
                      "(any more)")
        self.wait_log("WARN  vrk_sched: API run request for job 'changed' dropped: command not "
                      "allowed through the API")
        # Neither ran, and the daemon goes on serving.
        self.assertEqual(self.tags(), ["slow-out"])
        self.assertEqual(self.log_lines("started on request of API token 'adm'"),
                         self.log_lines("job 'slow' started on request"))
        status, body = self.call("POST", "/api/v1/jobs/gone/run")
        self.assertEqual((status, body["error"]["message"]), (404, "no job named 'gone'"))
        self.assertEqual(self.runs_of("changed"), [])


class FollowTest(ApiRunsCase):
    # Output in three bursts a second apart, with characters of two to four bytes.
    extra_config = ("[talk]\n" + NEVER + "args = --print Grüße --sleep 1 --print 20€ "
                    "--sleep 1 --print 😀 --exit 3\n")

    def test_following_a_growing_log_until_finished(self):
        status, _ = self.call("POST", "/api/v1/jobs/talk/run")
        self.assertEqual(status, 202)
        self.wait_for(lambda: self.runs_of("talk"), what="the job log")
        run_id = self.runs_of("talk")[0]["id"]
        got = ""
        offset = 0
        seen_growing = False
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            status, body = self.call("GET", "/api/v1/jobs/talk/runs/%s/log" % run_id,
                                     "offset=%d&length=5" % offset)
            self.assertEqual(status, 200, body)
            self.assertEqual(body["offset"], offset)
            self.assertEqual(body["next_offset"], offset + body["length"])
            got += body["data"]
            offset = body["next_offset"]
            if not body["finished"]:
                seen_growing = True
            elif offset == body["size"]:
                break
            if body["length"] == 0:
                time.sleep(0.1)
        _, text = self.log_file("talk")
        self.assertEqual(got, text.decode())
        self.assertTrue(seen_growing)
        self.assertIn("Grüße\n", got)
        self.assertIn("\nexit_code: 3\n", got)


# A plain SMTP server in this process whose answers to RCPT wait for the test: a held mail is
# pending for sure until the test lets it go. (Not the reply to the message's end: libcurl waits
# for that one blocking, which would hold up the whole network process.)
class HeldSmtp:
    def __init__(self):
        from aiosmtpd.controller import Controller
        self.gate = threading.Event()
        self.mails = []
        self.port = free_port()
        self.controller = Controller(self, hostname="127.0.0.1", port=self.port)
        self.controller.start()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        await asyncio.get_running_loop().run_in_executor(None, self.gate.wait, 30)
        if address.startswith("refused@"):
            return "550 5.1.1 mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.mails.append(envelope.content.decode("utf-8", "replace"))
        return "250 OK message accepted"

    def stop(self):
        self.gate.set()
        self.controller.stop()


class TestMailTest(ApiRunsCase):
    def setUp(self):
        try:
            self.smtp = HeldSmtp()
        except ImportError:
            self.skipTest("aiosmtpd is not installed")
        self.addCleanup(self.smtp.stop)
        super().setUp()

    def jobs_config(self):
        to = "refused@example.org" if "failed" in self._testMethodName else "ops@example.org"
        return ("[mail]\nsmtp-host = 127.0.0.1\nsmtp-port = %d\ntls = none\n"
                "from = sched@example.org\nto = %s\ntimeout-seconds = 20\n"
                % (self.smtp.port, to))

    def mail_state(self, mail_id):
        status, body = self.call("GET", "/api/v1/mail/results/%d" % mail_id)
        self.assertEqual(status, 200, body)
        return body

    def send_held(self):
        status, body = self.call("POST", "/api/v1/mail/test")
        self.assertEqual(status, 202, body)
        mail_id = body["mail_id"]
        self.assertEqual(self.mail_state(mail_id),
                         {"mail_id": mail_id, "state": "pending", "error": None})
        self.smtp.gate.set()
        self.wait_for(lambda: self.mail_state(mail_id)["state"] != "pending",
                      what="the mail's outcome")
        return self.mail_state(mail_id)

    def test_pending_then_sent(self):
        result = self.send_held()
        self.assertEqual((result["state"], result["error"]), ("sent", None))
        self.assertEqual(len(self.smtp.mails), 1)
        mail = self.smtp.mails[0].replace("\r\n", "\n")
        self.assertEqual(re.search(r"^Subject: (.*)$", mail, re.M).group(1),
                         "[arvenna] %s: test mail" % HOST)
        self.assertIn("This is a test mail from vrk_sched on %s, requested through the API by "
                      "token 'adm' from 127.0.0.1." % HOST, mail)
        for bad in ("0", "abc", "12x"):
            status, body = self.call("GET", "/api/v1/mail/results/" + bad)
            self.assertEqual((status, body["error"]["message"]), (404, "no such mail"))

    def test_pending_then_failed(self):
        result = self.send_held()
        self.assertEqual(result["state"], "failed")
        self.assertEqual(result["error"],
                         "RCPT failed: 550 (smtp://127.0.0.1:%d)" % self.smtp.port)
        self.assertEqual(self.smtp.mails, [])


if __name__ == "__main__":
    unittest.main()

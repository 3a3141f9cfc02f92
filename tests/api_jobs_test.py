"""Job changes through the API end to end: the real daemon and network process, signed admin
requests over TLS with If-Match, the configuration file rewritten with its comments and layout,
its history, the [api] policies, and the notice mail received by an SMTP test server."""

import hashlib
import http.client
import json
import os
import ssl
import time
import unittest

from daemon_test import DaemonCase
from vrktest import (api_response_signature, api_signed_authorization, free_port,
                     start_with_api_tokens)
from mail_test import HOST, MailCase, plain_part, subject_of

JOB_FILES = ("# the file server, every night\n"
             "[files]\n"
             "command = agent   ; the agent\n"
             "schedule = 0 2 * * *\n"
             "args = --fast\n")
NIGHTLY = {"command": "agent", "schedule": "0 3 * * *"}
NIGHTLY_SECTION = "\n[nightly]\ncommand=agent\nschedule=0 3 * * *\n"


class ApiJobsCase(DaemonCase, MailCase):
    """The daemon with the API on a free port, a read and an admin token, a [mail] section that
    sends through the STARTTLS test server with a literal password, and the job 'files'."""

    API_EXTRA = ""

    def setUp(self):
        super().setUp()
        self.port = free_port()
        self.password = "s3cret-pass"
        self.text = ("# vrk_sched, set up for the API job tests\n"
                     "[sched]\npoll-interval = 1    # fast passes\n\n"
                     "[mail]\nsmtp-host = 127.0.0.1\nsmtp-port = %d\ntls = starttls\n"
                     "ca-file = %s\nsmtp-user = mailer\nsmtp-password = %s\n"
                     "from = sched@example.org\nto = ops@example.org\ntimeout-seconds = 10\n\n"
                     "[api]\nenabled = yes\nlisten = 127.0.0.1:%d\ncert = %s\nkey = %s\n"
                     "tokens-file = %s\n%s\n%s"
                     % (self.starttls.port, self.root + "/ca.pem", self.password, self.port,
                        self.path("api.crt"), self.path("api.key"), self.path("tokens"),
                        self.API_EXTRA, JOB_FILES))
        self.config(self.text)
        self.history_dir = self.path("state", "cfg-history")
        start_with_api_tokens(self)

    def request(self, method, path, body=None, if_match=None, token="adm"):
        """(status, parsed JSON body) of one request over a new TLS connection: signed for the
        admin token (the response signature is checked), Bearer for the read token."""
        data = b"" if body is None else json.dumps(body).encode()
        headers = {}
        nonce = os.urandom(16).hex()
        if token == "adm":
            ts = str(int(time.time()))
            headers["Authorization"] = api_signed_authorization(
                token, self.secrets[token], method, path, "", ts, nonce, data, if_match or "")
        else:
            headers["Authorization"] = "Bearer %s.%s" % (token, self.secrets[token])
        if if_match is not None:
            headers["If-Match"] = if_match
        if data:
            headers["Content-Type"] = "application/json"
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=ctx, timeout=10)
        conn.request(method, path, body=data if data else None, headers=headers)
        r = conn.getresponse()
        raw = r.read()
        conn.close()
        if token == "adm":
            want = api_response_signature(self.secrets[token], nonce, r.status, raw)
            self.assertEqual(r.headers.get("X-VRK-Signature"), want)
        return r.status, json.loads(raw)

    def etag(self):
        with open(self.cfg, "rb") as f:
            return '"%s"' % hashlib.sha256(f.read()).hexdigest()

    def file(self):
        with open(self.cfg) as f:
            return f.read()

    def history(self):
        """The history copies' texts, oldest first."""
        if not os.path.isdir(self.history_dir):
            return []
        out = []
        for name in sorted(os.listdir(self.history_dir)):
            with open(os.path.join(self.history_dir, name)) as f:
                out.append(f.read())
        return out

    def wait_mails(self, count):
        self.wait_for(lambda: len(self.starttls.mails()) >= count, what="%d mail(s)" % count)
        return self.starttls.mails()


class ApiJobsTest(ApiJobsCase):
    def test_create_replace_delete_with_etags_history_and_layout(self):
        status, info = self.request("GET", "/api/v1/info", token="reader")
        self.assertEqual(status, 200)
        first = info["config_etag"]
        self.assertEqual(first, self.etag())

        status, body = self.request("PUT", "/api/v1/jobs/nightly", NIGHTLY)
        self.assertEqual((status, body["error"]["code"]), (428, "precondition_required"))
        status, body = self.request("PUT", "/api/v1/jobs/nightly", NIGHTLY, '"%s"' % ("0" * 64))
        self.assertEqual((status, body["error"]["code"]), (412, "precondition_failed"))
        self.assertEqual(self.file(), self.text)

        status, body = self.request("PUT", "/api/v1/jobs/nightly", NIGHTLY, first)
        self.assertEqual(status, 201, body)
        created = self.text + NIGHTLY_SECTION
        self.assertEqual(self.file(), created)  # everything else byte for byte
        self.assertEqual(body["config_etag"], self.etag())
        self.assertTrue(body["created"])
        self.assertEqual(body["job"]["name"], "nightly")
        self.assertEqual(body["job"]["schedule"], "0 3 * * *")
        self.assertEqual(self.history(), [self.text])
        self.assertEqual(len(self.log_lines(
            "vrk_sched API: token 'adm' from 127.0.0.1 changed %s: created job 'nightly'"
            % self.cfg)), 1)
        self.wait_log("vrk_sched: reloaded %s" % self.cfg)

        status, body = self.request("PUT", "/api/v1/jobs/nightly", NIGHTLY, first)
        self.assertEqual((status, body["error"]["code"]), (412, "precondition_failed"))
        second = self.etag()
        status, body = self.request("PUT", "/api/v1/jobs/nightly",
                                    dict(NIGHTLY, enabled=False, after=["files"]), second)
        self.assertEqual(status, 200, body)
        self.assertFalse(body["created"])
        replaced = self.text + "\n[nightly]\ncommand=agent\nschedule=0 3 * * *\nafter=files\n" \
            "enabled=no\n"
        self.assertEqual(self.file(), replaced)
        self.assertEqual(self.history(), [self.text, created])

        status, body = self.request("DELETE", "/api/v1/jobs/files", None, self.etag())
        self.assertEqual(status, 409)
        self.assertEqual(body["error"], {
            "code": "job_referenced",
            "message": "job 'files' is named in 'after' of job 'nightly'"})
        status, body = self.request("DELETE", "/api/v1/jobs/nightly", None, second)
        self.assertEqual((status, body["error"]["code"]), (412, "precondition_failed"))
        status, body = self.request("DELETE", "/api/v1/jobs/nightly")
        self.assertEqual((status, body["error"]["code"]), (428, "precondition_required"))
        status, body = self.request("DELETE", "/api/v1/jobs/nightly", None, self.etag())
        self.assertEqual(status, 200, body)
        self.assertEqual(body, {"config_etag": self.etag()})
        self.assertEqual(self.file(), self.text + "\n")
        self.assertEqual(self.history(), [self.text, created, replaced])
        status, body = self.request("GET", "/api/v1/jobs/nightly", token="reader")
        self.assertEqual(status, 404)

    def test_config_invalid_leaves_the_file_unchanged(self):
        status, body = self.request("PUT", "/api/v1/jobs/nightly",
                                    {"command": "agent", "schedule": "61 * * * *"}, self.etag())
        self.assertEqual(status, 400, body)
        self.assertEqual(body["error"]["code"], "config_invalid")
        line = self.text.count("\n") + 4
        self.assertTrue(body["error"]["message"].startswith("%s:%d: " % (self.cfg, line)), body)
        self.assertEqual(self.file(), self.text)
        self.assertEqual(self.history(), [])
        self.assertEqual(os.listdir(self.dir).count("sched.cfg.api-tmp.%d" % self.proc.pid), 0)

    def test_notice_mail_with_the_diff_and_no_password(self):
        status, body = self.request("PUT", "/api/v1/jobs/nightly", NIGHTLY, self.etag())
        self.assertEqual(status, 201, body)
        mail = self.wait_mails(1)[0]
        self.assertEqual(subject_of(mail), "[arvenna] %s: vrk_sched configuration changed via "
                         "API (created job 'nightly')" % HOST)
        n = self.text.count("\n") + 1
        want = ("The vrk_sched configuration on %s was changed through the API.\n\n"
                "Change:  created job 'nightly'\nToken:   adm\nClient:  127.0.0.1\n"
                "File:    %s\nHistory: %s\n\n--- changed lines ---\n"
                "+%d: \n+%d: [nightly]\n+%d: command=agent\n+%d: schedule=0 3 * * *\n"
                % (HOST, self.cfg, self.history_dir, n, n + 1, n + 2, n + 3))
        self.assertEqual(plain_part(mail), want.rstrip("\n"))
        self.assertNotIn(self.password, mail)

        status, body = self.request("DELETE", "/api/v1/jobs/nightly", None, self.etag())
        self.assertEqual(status, 200, body)
        mail = self.wait_mails(2)[1]
        self.assertEqual(subject_of(mail), "[arvenna] %s: vrk_sched configuration changed via "
                         "API (deleted job 'nightly')" % HOST)
        self.assertTrue(plain_part(mail).endswith(
            "--- changed lines ---\n-    [nightly]\n-    command=agent\n-    schedule=0 3 * * *"),
            plain_part(mail))

    def test_validate_with_a_read_token_writes_nothing(self):
        cases = [
            ({"name": "n", "command": "agent", "schedule": "0 3 * * *"},
             {"valid": True, "result": None}),
            ({"name": "n", "command": "nope"},
             {"valid": False, "result": {"error": {"code": "invalid_value",
                                                   "message": "unknown command 'nope'"}}}),
            ({"name": "n", "command": "restore", "once": "1772332200"},
             {"valid": False, "result": {"error": {
                 "code": "command_not_allowed",
                 "message": "command 'restore' may not be used through the API ([api] "
                            "allowed-commands)"}}}),
        ]
        for body, want in cases:
            with self.subTest(body=body):
                status, got = self.request("POST", "/api/v1/validate/job", body, token="reader")
                self.assertEqual((status, got), (200, want))
        status, got = self.request("PUT", "/api/v1/jobs/n", NIGHTLY, self.etag(), token="reader")
        self.assertEqual((status, got["error"]["code"]), (403, "forbidden"))
        self.assertEqual(self.file(), self.text)
        self.assertEqual(self.history(), [])


class ApiJobsPolicyTest(ApiJobsCase):
    API_EXTRA = "allow-args = no\nallowed-commands = agent,verify\n"

    def test_allow_args_and_allowed_commands(self):
        args_refused = {"code": "args_not_allowed", "message": "'args' may not be set or changed "
                        "through the API ([api] allow-args=no)"}
        cases = [
            ("new job with args", "n", dict(NIGHTLY, args="-v"), 403, args_refused),
            ("other args", "files", dict(NIGHTLY, args="--slow"), 403, args_refused),
            ("args dropped", "files", NIGHTLY, 403, args_refused),
            ("command not allowed", "n", {"command": "restore", "once": "1772332200"}, 403,
             {"code": "command_not_allowed", "message": "command 'restore' may not be used "
              "through the API ([api] allowed-commands)"}),
        ]
        for what, name, body, status, error in cases:
            with self.subTest(what):
                got_status, got = self.request("PUT", "/api/v1/jobs/" + name, body, self.etag())
                self.assertEqual((got_status, got), (status, {"error": error}))
                self.assertEqual(self.file(), self.text)
        status, got = self.request("PUT", "/api/v1/jobs/files", dict(NIGHTLY, args="--fast"),
                                   self.etag())
        self.assertEqual(status, 200, got)
        self.assertEqual(self.file(), self.text.replace(
            JOB_FILES, "# the file server, every night\n[files]\ncommand=agent   ; the agent\n"
            "schedule=0 3 * * *\nargs=--fast\n"))
        status, got = self.request("PUT", "/api/v1/jobs/n", NIGHTLY, self.etag())
        self.assertEqual(status, 201, got)


if __name__ == "__main__":
    unittest.main()

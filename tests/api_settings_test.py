"""Settings changes through the HTTPS API end to end: the real daemon with its network process,
signed admin requests with bodies and If-Match, the configuration file and its history."""

import glob
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


class ApiClientCase(DaemonCase):
    """The daemon with the API on a free port, a read token "reader" and an admin token "adm";
    signed requests that carry a body and If-Match, and helpers for the configuration file."""

    first_config = ""  # what follows [api] when the daemon starts

    def setUp(self):
        super().setUp()
        self.port = free_port()
        self.config(self.api_section() + self.first_config)
        start_with_api_tokens(self)

    def response_signature(self, name, nonce, status, body):
        return api_response_signature(self.secrets[name], nonce, status, body)

    def api_section(self):
        return ("[api]\nenabled = yes\nlisten = 127.0.0.1:%d\ncert = %s\nkey = %s\n"
                "tokens-file = %s\nnotify-changes = no\nhistory-keep = 1000\n"
                % (self.port, self.path("api.crt"), self.path("api.key"), self.path("tokens")))

    def reconfigure(self, rest):
        """Replaces the file (same [api] settings) and waits until the daemon has reloaded it."""
        before = len(self.log_lines("vrk_sched: reloaded"))
        self.config(self.api_section() + rest)
        self.wait_log("vrk_sched: reloaded", count=before + 1)

    def history_dir(self):
        return os.path.join(os.path.dirname(self.queue), "cfg-history")

    def history(self):
        return sorted(glob.glob(os.path.join(self.history_dir(), "*.cfg")))

    def file_text(self):
        return self.read_text(self.cfg)

    @staticmethod
    def read_text(path):
        with open(path, encoding="utf-8") as f:
            return f.read()

    def file_etag(self):
        with open(self.cfg, "rb") as f:
            return '"%s"' % hashlib.sha256(f.read()).hexdigest()

    def send(self, method, path, body=b"", if_match=None, token="adm", conn=None, bearer=False):
        """(status, parsed body) of one signed request (the response signature is checked), or
        of a Bearer request with bearer set."""
        nonce = os.urandom(16).hex()
        ts = str(int(time.time()))
        headers = {"Authorization": api_signed_authorization(
            token, self.secrets[token], method, path, "", ts, nonce, body, if_match or "")}
        if bearer:
            headers["Authorization"] = "Bearer %s.%s" % (token, self.secrets[token])
        if if_match is not None:
            headers["If-Match"] = if_match
        if body:
            headers["Content-Type"] = "application/json"
        own = conn is None
        if own:
            ctx = ssl.create_default_context()
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=ctx, timeout=20)
        conn.request(method, path, body=body if body else None, headers=headers)
        r = conn.getresponse()
        data = r.read()
        if own:
            conn.close()
        if not bearer:
            self.assertEqual(r.headers.get("X-VRK-Signature"),
                             self.response_signature(token, nonce, r.status, data))
        return r.status, json.loads(data)

    def put(self, path, document, if_match=None):
        return self.send("PUT", path, json.dumps(document).encode(), if_match)

    def etag(self, path="/api/v1/settings/mail"):
        status, doc = self.send("GET", path)
        self.assertEqual(status, 200, doc)
        return doc["config_etag"]


MAIL = ("# outgoing mail\n[mail]\n"
        "smtp-host = relay.example.org   # the office relay\n"
        "smtp-port = 2525\n"
        "; a password for the relay\n"
        "smtp-user = backup\n"
        "smtp-password = 'Initial pw #1'\n"
        "from = backup@example.org\n"
        "to = admin@example.org\n")
JOBS = "\n# every night\n[nightly]\ncommand = agent\nschedule = 0 2 * * *\n"
UPDATE = {"smtp_host": "mail.example.org", "smtp_user": "backup", "from": "vrk@example.org",
          "to": ["a@example.org", "b@example.org"], "timeout_seconds": 20}


class MailSettingsTest(ApiClientCase):
    first_config = MAIL + JOBS

    def test_update_keeps_layout_and_password_then_replace_and_remove(self):
        old_text = self.file_text()
        status, doc = self.put("/api/v1/settings/mail", {"mail": UPDATE}, self.etag())
        self.assertEqual(status, 200, doc)
        self.assertEqual(doc["config_etag"], self.file_etag())
        self.assertEqual(doc["mail"]["to"], ["a@example.org", "b@example.org"])
        self.assertEqual(doc["mail"]["smtp_port"], 587)
        self.assertTrue(doc["mail"]["smtp_password_set"])
        self.assertEqual(doc["mail"]["smtp_password_source"], "literal")
        self.assertEqual(self.send("GET", "/api/v1/settings/mail")[1], doc)
        head = self.api_section() + "# outgoing mail\n[mail]\n"
        self.assertEqual(self.file_text(),
                         head + "smtp-host=mail.example.org   # the office relay\n"
                         "; a password for the relay\n"
                         "smtp-user=backup\n"
                         "smtp-password='Initial pw #1'\n"
                         "from=vrk@example.org\n"
                         "to=a@example.org,b@example.org\n"
                         "timeout-seconds=20\n" + JOBS)
        self.assertEqual([self.read_text(p) for p in self.history()], [old_text])
        self.wait_log("vrk_sched API: token 'adm' from 127.0.0.1 changed %s: updated [mail]"
                      % self.cfg)
        self.wait_log("vrk_sched: reloaded", count=1)

        status, doc = self.put("/api/v1/settings/mail",
                               {"mail": dict(UPDATE, smtp_password="Second pw")}, self.etag())
        self.assertEqual(status, 200, doc)
        self.assertIn("smtp-password=Second pw\n", self.file_text())
        self.assertNotIn("Initial", self.file_text())

        status, doc = self.put("/api/v1/settings/mail",
                               {"mail": dict(UPDATE, smtp_user=None, smtp_password=None)},
                               self.etag())
        self.assertEqual(status, 200, doc)
        self.assertFalse(doc["mail"]["smtp_password_set"])
        self.assertIsNone(doc["mail"]["smtp_user"])
        self.assertNotIn("smtp-password", self.file_text())
        self.assertNotIn("smtp-user", self.file_text())
        self.assertEqual(len(self.history()), 3)
        log = self.log()
        for secret in ("Initial pw", "Second pw"):
            self.assertNotIn(secret, log)

    def test_password_reference_is_refused_and_nothing_changes(self):
        before = self.file_text()
        status, doc = self.put("/api/v1/settings/mail",
                               {"mail": dict(UPDATE, smtp_password="file:/etc/shadow")},
                               self.etag())
        self.assertEqual(status, 403)
        self.assertEqual(doc["error"]["message"],
                         "smtp_password references (file:, kms:) can only be set on the server "
                         "itself")
        self.assertEqual(self.file_text(), before)
        self.assertEqual(self.history(), [])

    def test_remove_then_not_found_and_notify_needs_mail(self):
        text = MAIL + JOBS + "notify = failed\n"
        self.reconfigure(text)
        status, doc = self.put("/api/v1/settings/mail", {"mail": None}, self.etag())
        self.assertEqual(status, 400)
        self.assertEqual(doc["error"]["code"], "config_invalid")
        self.assertEqual(doc["error"]["message"], "[nightly]: 'notify' needs a [mail] section")
        self.assertEqual(self.file_text(), self.api_section() + text)
        self.assertEqual(self.history(), [])

        self.reconfigure(MAIL + JOBS)
        status, doc = self.put("/api/v1/settings/mail", {"mail": None}, self.etag())
        self.assertEqual(status, 200, doc)
        self.assertEqual(doc, {"config_etag": self.file_etag(), "mail": None})
        # The blank line and comment above [nightly] belong to [mail] and go with it.
        self.assertEqual(self.file_text(), self.api_section() + "# outgoing mail\n[nightly]\n"
                         "command = agent\nschedule = 0 2 * * *\n")
        status, doc = self.put("/api/v1/settings/mail", {"mail": None}, self.etag())
        self.assertEqual((status, doc["error"]["message"]), (404, "there is no [mail] section"))

    def test_preconditions_and_read_tokens(self):
        before = self.file_text()
        stale = self.etag()
        status, doc = self.put("/api/v1/settings/mail", {"mail": UPDATE})
        self.assertEqual((status, doc["error"]["code"]), (428, "precondition_required"))
        # A hand edit between the client's read and its write.
        self.reconfigure(MAIL + JOBS + "# edited by hand\n")
        edited = self.file_text()
        status, doc = self.put("/api/v1/settings/mail", {"mail": UPDATE}, stale)
        self.assertEqual((status, doc["error"]["code"]), (412, "precondition_failed"))
        self.assertEqual(self.file_text(), edited)
        self.assertNotEqual(edited, before)
        status, doc = self.send("PUT", "/api/v1/settings/mail", json.dumps({"mail": None}).encode(),
                                self.etag(), token="reader", bearer=True)
        self.assertEqual((status, doc["error"]["code"]), (403, "forbidden"))
        self.assertEqual(self.history(), [])


class SchedSettingsTest(ApiClientCase):
    def test_update_removes_zero_keys_and_keeps_job_log_dir(self):
        logs = self.path("joblogs")
        self.reconfigure("[sched]\n# tuned by hand\npoll-interval = 30  ; seconds\n"
                         "job-log-dir = %s\njob-log-keep = 5\n" % logs + JOBS)
        status, doc = self.put("/api/v1/settings/sched",
                               {"sched": {"poll_interval": 0, "busy_retry_seconds": 120,
                                          "job_log_keep": None}},
                               self.etag("/api/v1/settings/sched"))
        self.assertEqual(status, 200, doc)
        self.assertEqual(doc, {"config_etag": self.file_etag(),
                               "sched": {"poll_interval": None, "busy_retry_seconds": 120,
                                         "job_timeout_seconds": None, "job_log_keep": None,
                                         "job_log_dir": logs}})
        self.assertEqual(self.file_text(),
                         self.api_section() + "[sched]\n# tuned by hand\njob-log-dir=%s\n"
                         "busy-retry-seconds=120\n" % logs + JOBS)
        status, doc = self.put("/api/v1/settings/sched", {"sched": {"job_log_dir": "/tmp"}},
                               self.etag("/api/v1/settings/sched"))
        self.assertEqual((status, doc["error"]["code"]), (403, "read_only"))
        self.assertEqual(len(self.history()), 1)


if __name__ == "__main__":
    unittest.main()

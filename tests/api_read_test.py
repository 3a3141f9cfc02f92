"""The API's router and read-only resources end to end: the real daemon with its network process,
requests over TLS from Python's http.client and curl, read tokens as Bearer and admin tokens as
signed requests. One daemon per class, shared by its tests."""

import hashlib
import hmac
import http.client
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

from api_auth_test import free_port
from vrktest import (BUILD, QUEUE_NEVER, SCHED, STANDINS, VERSION, base_env, encode_entry, run,
                     wait_until)

COMMANDS = [("agent", True, True), ("proxmox", True, True), ("xenv", True, True),
            ("restore", False, False), ("proxmox-restore", False, False),
            ("xenv-restore", False, False), ("verify", False, False),
            ("maint-synthetic-full", False, False), ("maint-recompress", False, False),
            ("maint-scrub", False, False), ("maint-prune", False, False)]


def far_schedule():
    """A daily schedule twelve hours away, so that no job of a test becomes due while it runs."""
    t = time.localtime(time.time() + 12 * 3600)
    return "%d %d * * *" % (t.tm_min, t.tm_hour)


def error(code, message):
    return {"error": {"code": code, "message": message}}


class Daemon:
    """vrk_sched daemon in a temporary directory with the API on a free loopback port, its
    certificate from api-init, a read token "reader" and an admin token "adm"."""

    def __init__(self, body, queue_entries=None):
        self.dir = tempfile.mkdtemp(prefix="vrk-test-")
        self.cfg = self.path("sched.cfg")
        self.queue = self.path("state", "queue.state")
        self.cert = self.path("api.crt")
        self.errlog = self.path("daemon.err")
        self.port = free_port()
        self.env = base_env(PATH=STANDINS + os.pathsep + os.environ["PATH"])
        self.proc = None
        self.api = ("[api]\nenabled = yes\nlisten = 127.0.0.1:%d\ncert = %s\nkey = %s\n"
                    "tokens-file = %s\nallowed-commands = agent, verify, maint-prune\n"
                    "allow-config-write = no\nallow-args = yes\n\n"
                    % (self.port, self.cert, self.path("api.key"), self.path("tokens")))
        self.write_config(body)
        self.secrets = {}
        for args in (["api-init", "--cn", "127.0.0.1"],
                     ["api-token", "add", "reader", "--role", "read"],
                     ["api-token", "add", "adm", "--role", "admin"]):
            rc, out, err = run([SCHED, *args, "--config", self.cfg, "--no-syslog", "--no-log"],
                               env=self.env)
            if rc != 0:
                raise AssertionError("%s: %s" % (args, err))
            m = re.search(r"keep it secret\): ([^.\s]+)\.(\S+)", out)
            if m:
                self.secrets[m.group(1)] = m.group(2)
        if queue_entries:
            os.makedirs(os.path.dirname(self.queue))
            with open(self.queue, "wb") as f:
                f.write(b"".join(queue_entries))
        self.started = int(time.time())
        self.err = open(self.errlog, "wb")
        self.proc = subprocess.Popen(
            [SCHED, "daemon", "--config", self.cfg, "--queue", self.queue, "--job-log-dir",
             self.path("jobs"), "--poll-interval", "1", "--no-syslog", "--no-log"],
            env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.err)
        try:
            wait_until(lambda: "API ready" in self.log() or self.proc.poll() is not None,
                       what="API ready")
            if self.proc.poll() is not None:
                raise AssertionError("daemon ended:\n" + self.log())
        except BaseException:
            self.close()
            raise

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write_config(self, body):
        """Replaces the configuration whole: the [api] section, then body."""
        with open(self.cfg + ".new", "w") as f:
            f.write(self.api + body)
        os.replace(self.cfg + ".new", self.cfg)

    def log(self):
        with open(self.errlog, encoding="utf-8", errors="replace") as f:
            return f.read()

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.err.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def children(self):
        """Process ids of the daemon's children."""
        out = []
        for tid in os.listdir("/proc/%d/task" % self.proc.pid):
            with open("/proc/%d/task/%s/children" % (self.proc.pid, tid)) as f:
                out += [int(p) for p in f.read().split()]
        return out

    def signed(self, method, path, query="", body=b"", nonce=None):
        """The Authorization value of a request signed with the admin token."""
        ts = str(int(time.time()))
        nonce = nonce or os.urandom(16).hex()
        canonical = "VRK1\n%s\n%s\n%s\n%s\n%s\n%s\n" % (method, path, query, ts, nonce,
                                                       hashlib.sha256(body).hexdigest())
        sig = hmac.new(self.secrets["adm"].encode(), canonical.encode(),
                       hashlib.sha256).hexdigest()
        return "VRK-HMAC-SHA256 key=adm, ts=%s, nonce=%s, sig=%s" % (ts, nonce, sig), nonce

    def request(self, target, method="GET", body=None, admin=False):
        """(status, headers, body bytes) of one request over a new TLS connection that checks
        the api-init certificate; a read token as Bearer, or the admin token signed, in which
        case the response signature is checked too."""
        ctx = ssl.create_default_context(cafile=self.cert)
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=ctx, timeout=20)
        path, _, query = target.partition("?")
        if admin:
            auth, nonce = self.signed(method, path, query, body or b"")
        else:
            auth = "Bearer reader." + self.secrets["reader"]
        try:
            conn.request(method, target, body=body, headers={"Authorization": auth})
            r = conn.getresponse()
            data = r.read()
        finally:
            conn.close()
        if admin:
            text = "VRK1-R\n%s\n%d\n%s" % (nonce, r.status, hashlib.sha256(data).hexdigest())
            want = hmac.new(self.secrets["adm"].encode(), text.encode(),
                            hashlib.sha256).hexdigest()
            if r.headers.get("X-VRK-Signature") != want:
                raise AssertionError("bad response signature for %s %s" % (method, target))
        return r.status, r.headers, data

    def get(self, target, **kw):
        """(status, parsed JSON body)."""
        status, _, data = self.request(target, **kw)
        return status, json.loads(data)


def etag_of(path):
    with open(path, "rb") as f:
        return '"%s"' % hashlib.sha256(f.read()).hexdigest()


# A job object with every member set, and one with none: what the file says, and api_allowed.
FULL_JOB = ("[nightly]\ncommand = agent\nprofile = files\nargs = --print nightly\n"
            "schedule = %s\ntimeout-seconds = 3600\nnotify = always\nrun-background = yes\n"
            "start-background = no\nretention = 30d\nretention-class = gold\n\n")
SPARSE_JOB = "[a b]\ncommand = restore\nonce = 2099-01-02T03:04:05\n\n"

PAST = 1700000000


class ReadResourcesTest(unittest.TestCase):
    """120 jobs, a few of them with stored queue state, [sched] and [mail] sections."""

    @classmethod
    def setUpClass(cls):
        cls.schedule = far_schedule()
        cls.tmp = tempfile.mkdtemp(prefix="vrk-test-")
        cls.pass_file = os.path.join(cls.tmp, "smtp.pass")
        with open(cls.pass_file, "w") as f:
            f.write("pass-from-the-file\n")
        special = [
            FULL_JOB % cls.schedule,
            SPARSE_JOB,
            "[verify-after]\ncommand = verify\nafter = nightly, a b\nafter-mode = finished\n\n",
            "[off]\ncommand = maint-prune\nenabled = no\nschedule = %s\n\n" % cls.schedule,
            "[done]\ncommand = agent\nschedule = %s\n\n" % cls.schedule,
            "[failed]\ncommand = verify\nafter = done\n\n",
            "[stale]\ncommand = agent\nschedule = %s\n\n" % cls.schedule,
            "[odd-state]\ncommand = agent\nschedule = %s\n\n" % cls.schedule,
            "[100%%]\ncommand = agent\nschedule = %s\n\n" % cls.schedule,
            "[caf\u00e9]\ncommand = agent\nschedule = %s\n\n" % cls.schedule,
        ]
        cls.names = [s[1:s.index("]")] for s in special]
        fillers = ["fill-%03d" % i for i in range(len(special), 120)]
        cls.names += fillers
        body = ("[sched]\npoll-interval = 7\nbusy-retry-seconds = 120\njob-log-dir = %s\n\n"
                "[mail]\nsmtp-host = mail.example.org\ntls = smtps\nsmtp-user = backup\n"
                "smtp-password = file:%s\nfrom = backup@example.org\n"
                "to = ops@example.org, Second@example.net\nca-file = /nonexistent/ca.pem\n"
                "notify = failed\n\n" % (os.path.join(cls.tmp, "logs"), cls.pass_file))
        body += "".join(special)
        body += "".join("[%s]\ncommand = agent\nschedule = %s\n\n" % (n, cls.schedule)
                        for n in fillers)
        odd = bytearray(encode_entry("odd-state", next_run=QUEUE_NEVER - 1, last_run=PAST))
        odd[128] = 9
        entries = [
            encode_entry("done", "DONE", next_run=4000000000, last_run=PAST,
                         last_finish=PAST + 100, exit_code=0),
            # Already started by the finish of "done", so not again.
            encode_entry("failed", "FAILED", next_run=QUEUE_NEVER, last_run=PAST + 200,
                         last_finish=PAST + 300, exit_code=3, dependency_mark=PAST + 100),
            # pid 1 is not a vrk_sched: the daemon marks the entry FAILED when it starts.
            encode_entry("stale", "RUNNING", pid=1, next_run=4000000000, last_run=PAST + 400,
                         exit_code=-1),
            bytes(odd),
        ]
        cls.d = Daemon(body, entries)

    @classmethod
    def tearDownClass(cls):
        cls.d.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_info(self):
        for admin, role in ((False, ("reader", "read")), (True, ("adm", "admin"))):
            with self.subTest(admin=admin):
                before = int(time.time())
                status, info = self.d.get("/api/v1/info", admin=admin)
                after = int(time.time())
                self.assertEqual(status, 200, info)
                self.assertEqual(list(info), [
                    "api_version", "server", "version", "build", "host", "time",
                    "daemon_started", "running_job", "run_queue", "config_etag", "token",
                    "policy", "commands", "limits", "mail_configured"])
                self.assertLessEqual(before, info["time"])
                self.assertLessEqual(info["time"], after)
                self.assertLessEqual(self.d.started, info["daemon_started"])
                self.assertLessEqual(info["daemon_started"], before)
                del info["time"], info["daemon_started"]
                self.assertEqual(info, {
                    "api_version": 1, "server": "vrk_sched", "version": VERSION, "build": BUILD,
                    "host": socket.gethostname()[:255] or "localhost", "running_job": None,
                    "run_queue": [], "config_etag": etag_of(self.d.cfg),
                    "token": {"name": role[0], "role": role[1]},
                    "policy": {"allow_config_write": False, "allow_args": True,
                               "allowed_commands": ["agent", "verify", "maint-prune"]},
                    "commands": [{"name": n, "profile": p, "retention": r}
                                 for n, p, r in COMMANDS],
                    "limits": {"max_body_bytes": 32768, "jobs_page_max": 50,
                               "log_chunk_max": 49152, "timestamp_window_seconds": 300},
                    "mail_configured": True})

    def test_job_objects_from_the_file_and_the_queue(self):
        once = int(time.mktime((2099, 1, 2, 3, 4, 5, 0, 0, -1)))
        config = {
            "nightly": {
                "name": "nightly", "command": "agent", "profile": "files",
                "args": "--print nightly", "schedule": self.schedule, "once": None,
                "once_unix": None, "after": [], "after_mode": None, "enabled": True,
                "timeout_seconds": 3600, "notify": "always", "run_background": True,
                "start_background": False, "retention": "30d", "retention_class": "gold",
                "api_allowed": True},
            "a b": {
                "name": "a b", "command": "restore", "profile": None, "args": None,
                "schedule": None, "once": "2099-01-02T03:04:05", "once_unix": once, "after": [],
                "after_mode": None, "enabled": True, "timeout_seconds": 0, "notify": "inherit",
                "run_background": None, "start_background": None, "retention": None,
                "retention_class": None, "api_allowed": False},
        }
        fresh = {"status": "PENDING", "last_run": None, "last_finish": None,
                 "last_exit_code": None, "run_requested": False}
        states = {
            "a b": dict(fresh, next_run=once),
            # Only 'after': never due by itself.
            "verify-after": dict(fresh, next_run=None),
            "off": dict(fresh, status="DISABLED", next_run=None),
            "done": {"status": "DONE", "next_run": 4000000000, "last_run": PAST,
                     "last_finish": PAST + 100, "last_exit_code": 0, "run_requested": False},
            "failed": {"status": "FAILED", "next_run": None, "last_run": PAST + 200,
                       "last_finish": PAST + 300, "last_exit_code": 3, "run_requested": False},
            "stale": {"status": "FAILED", "next_run": 4000000000, "last_run": PAST + 400,
                      "last_finish": None, "last_exit_code": -1, "run_requested": False},
            "odd-state": {"status": "UNKNOWN", "next_run": QUEUE_NEVER - 1, "last_run": PAST,
                          "last_finish": None, "last_exit_code": -1, "run_requested": False},
        }
        etag = etag_of(self.d.cfg)
        for name, target in (("nightly", "nightly"), ("a b", "a%20b"),
                             ("verify-after", "verify-after"), ("off", "off"), ("done", "done"),
                             ("failed", "failed"), ("stale", "stale"),
                             ("odd-state", "odd-state"), ("100%", "100%25"),
                             ("caf\u00e9", "caf%C3%A9"), ("caf\u00e9", "caf%c3%a9")):
            with self.subTest(job=name, target=target):
                status, got = self.d.get("/api/v1/jobs/" + target)
                self.assertEqual(status, 200, got)
                self.assertEqual(list(got), ["config_etag", "job"])
                self.assertEqual(got["config_etag"], etag)
                job = got["job"]
                self.assertEqual(job["name"], name)
                self.assertEqual(list(job)[-1], "state")
                if name in config:
                    self.assertEqual({k: v for k, v in job.items() if k != "state"},
                                     config[name])
                if name in states:
                    self.assertEqual(job["state"], states[name])
                else:
                    # A schedule job that never ran: due next at its schedule.
                    self.assertEqual(job["state"]["status"], "PENDING")
                    self.assertGreater(job["state"]["next_run"], time.time())
                    self.assertIsNone(job["state"]["last_exit_code"])
                # The admin's signed request names the path as sent, still encoded.
                self.assertEqual(self.d.get("/api/v1/jobs/" + target, admin=True),
                                 (status, got))
        self.assertIn("vrk_sched: job 'stale' is RUNNING in the queue file, but its runner "
                      "(pid 1) is gone -- marked FAILED", self.d.log())

    def test_settings(self):
        etag = etag_of(self.d.cfg)
        status, got = self.d.get("/api/v1/settings/sched")
        self.assertEqual(status, 200, got)
        self.assertEqual(json.dumps(got), json.dumps({
            "config_etag": etag,
            "sched": {"poll_interval": 7, "busy_retry_seconds": 120, "job_timeout_seconds": None,
                      "job_log_keep": None, "job_log_dir": os.path.join(self.tmp, "logs")}}))
        for admin in (False, True):
            with self.subTest(admin=admin):
                status, headers, data = self.d.request("/api/v1/settings/mail", admin=admin)
                self.assertEqual(status, 200, data)
                self.assertNotIn(b"pass-from-the-file", data)
                self.assertEqual(json.dumps(json.loads(data)), json.dumps({
                    "config_etag": etag,
                    "mail": {"smtp_host": "mail.example.org", "smtp_port": 465, "tls": "smtps",
                             "smtp_user": "backup", "smtp_password_set": True,
                             "smtp_password_source": "file", "from": "backup@example.org",
                             "to": ["ops@example.org", "Second@example.net"],
                             "ca_file": "/nonexistent/ca.pem", "timeout_seconds": 60,
                             "notify": "failed"}}))
                self.assertEqual(headers["Content-Type"], "application/json")

    def test_job_list_pages(self):
        etag = etag_of(self.d.cfg)
        # The same first page whichever way it is asked for.
        first = None
        for query in ("", "?", "?limit=50", "?offset=0&limit=50", "?limit=000000000050",
                      "?&limit=50&&offset=0&"):
            with self.subTest(query=query):
                status, page = self.d.get("/api/v1/jobs" + query)
                self.assertEqual(status, 200, page)
                self.assertEqual(list(page), ["config_etag", "total", "offset", "jobs",
                                              "next_offset"])
                first = first or page
                self.assertEqual(page, first)
        self.assertEqual((first["config_etag"], first["total"], first["offset"],
                          first["next_offset"]), (etag, 120, 0, 50))
        # Following next_offset walks the file in order, each job once, as GET /jobs/<name>.
        names, offset, offsets = [], 0, []
        while offset is not None:
            offsets.append(offset)
            status, page = self.d.get("/api/v1/jobs?offset=%d" % offset)
            self.assertEqual((status, page["offset"]), (200, offset))
            names += [j["name"] for j in page["jobs"]]
            offset = page["next_offset"]
        self.assertEqual(offsets, [0, 50, 100])
        self.assertEqual(names, self.names)
        status, page = self.d.get("/api/v1/jobs?offset=1&limit=1")
        self.assertEqual(page["jobs"], [self.d.get("/api/v1/jobs/a%20b")[1]["job"]])
        for query, count, nxt in (("offset=49&limit=2", 2, 51), ("offset=115&limit=5", 5, None),
                                  ("offset=119&limit=50", 1, None), ("offset=120", 0, None),
                                  ("offset=1000", 0, None), ("offset=999999999999", 0, None),
                                  ("limit=1", 1, 1)):
            for admin in (False, True):
                with self.subTest(query=query, admin=admin):
                    status, page = self.d.get("/api/v1/jobs?" + query, admin=admin)
                    self.assertEqual(status, 200, page)
                    self.assertEqual((len(page["jobs"]), page["next_offset"], page["total"]),
                                     (count, nxt, 120))

    def test_job_list_query_refusals(self):
        params = error("bad_query", "allowed query parameters: offset, limit (digits)")
        limit = error("bad_query", "limit must be 1..50")
        cases = [("limit=0", limit), ("limit=51", limit), ("limit=100", limit),
                 ("limit=999999999999", limit), ("offset=5&limit=00", limit),
                 ("limit=null", params), ("limit=", params), ("limit", params), ("=5", params),
                 ("offset=1&offset=2", params), ("limit=1&limit=1", params),
                 ("offset=-1", params), ("offset=+1", params), ("offset=1x", params),
                 ("offset=", params), ("page=1", params), ("LIMIT=5", params),
                 ("limit=%35", params), ("offset=1&page=1", params),
                 ("offset=0000000000001", params), ("limit=1&offset=1000000000000", params),
                 ("offset=1;limit=2", params)]
        for query, want in cases:
            for admin in (False, True):
                with self.subTest(query=query, admin=admin):
                    self.assertEqual(self.d.get("/api/v1/jobs?" + query, admin=admin),
                                     (400, want))

    def test_paths(self):
        malformed = error("not_found", "malformed path")
        unknown = error("not_found", "unknown path")
        a255 = "a" * 255
        cases = [
            # Not under /api/v1/.
            ("/api/v1", unknown), ("/api/v2/info", unknown), ("/API/v1/info", unknown),
            ("/", unknown), ("/api/v1info", unknown), ("/api/v10/info", unknown),
            # Segments that cannot be split.
            ("/api/v1/", malformed), ("/api/v1/jobs/", malformed), ("/api/v1//jobs", malformed),
            ("/api/v1/jobs//x", malformed), ("/api/v1/a/b/c/d/e/f/g", malformed),
            ("/api/v1/jobs/a%2Fb", malformed), ("/api/v1/jobs/a%2fb", malformed),
            ("/api/v1/jobs/a%00b", malformed), ("/api/v1/jobs/a%01", malformed),
            ("/api/v1/jobs/a%0A", malformed), ("/api/v1/jobs/a%1f", malformed),
            ("/api/v1/jobs/a%7F", malformed), ("/api/v1/jobs/a%zz", malformed),
            ("/api/v1/jobs/a%g1", malformed), ("/api/v1/jobs/a%4", malformed),
            ("/api/v1/jobs/a%", malformed), ("/api/v1/jobs/%%41", malformed),
            ("/api/v1/jobs/" + "b" * 256, malformed), ("/api/v1/jobs/" + "%62" * 256, malformed),
            ("/api/v1/jobs/" + "b" * 255 + "%62", malformed),
            # Resources that do not exist; words are exact and case-sensitive.
            ("/api/v1/Info", unknown), ("/api/v1/nothing", unknown), ("/api/v1/settings", unknown),
            ("/api/v1/settings/api", unknown), ("/api/v1/settings/Mail", unknown),
            ("/api/v1/jobs/nightly/x", unknown), ("/api/v1/jobs/nightly/runs/1", unknown),
            ("/api/v1/mail", unknown), ("/api/v1/mail/results", unknown),
            ("/api/v1/a/b/c/d/e/f", unknown), ("/api/v1/info/x", unknown),
            ("/api/v1/%2e%2e", unknown), ("/api/v1/..", unknown),
            # Decoded segments that name a job: 404 with the name as decoded.
            ("/api/v1/jobs/" + a255, error("not_found", "no job named '%s'" % a255)),
            ("/api/v1/jobs/" + "%61" * 255, error("not_found", "no job named '%s'" % a255)),
            ("/api/v1/jobs/%41%4a%4A", error("not_found", "no job named 'AJJ'")),
            ("/api/v1/jobs/x%20y%7e%25", error("not_found", "no job named 'x y~%'")),
            # A byte that is not UTF-8 is replaced in the message.
            ("/api/v1/jobs/a%80b", error("not_found", "no job named 'a\ufffdb'")),
            ("/api/v1/jobs/%22q%22%5C", error("not_found", "no job named '\"q\"\\'")),
            ("/api/v1/jobs/NIGHTLY", error("not_found", "no job named 'NIGHTLY'")),
        ]
        for target, want in cases:
            for admin in (False, True):
                with self.subTest(target=target[:60], admin=admin):
                    self.assertEqual(self.d.get(target, admin=admin), (404, want))
        # Words are matched after decoding.
        status, info = self.d.get("/api/v1/%69nfo")
        self.assertEqual((status, info["server"]), (200, "vrk_sched"))
        status, got = self.d.get("/api/v1/jobs/%6eightly")
        self.assertEqual((status, got["job"]["name"]), (200, "nightly"))

    def test_methods_queries_tokens_and_bodies(self):
        def method(m):
            return error("method_not_allowed", "method %s not allowed here" % m)

        no_body = error("bad_request", "GET takes no body")
        no_query = error("bad_query", "this resource takes no query parameters")
        admin_only = error("forbidden", "this needs an admin token")
        cases = [
            # GET with a body, wherever it goes once the path splits.
            ("GET", "/api/v1/info", b"{}", False, 400, no_body),
            ("GET", "/api/v1/jobs?limit=0", b"x", False, 400, no_body),
            ("GET", "/api/v1/jobs/nightly", b"{}", True, 400, no_body),
            ("GET", "/api/v1/settings/mail?x=1", b"{}", False, 400, no_body),
            ("GET", "/api/v1/nothing", b"{}", True, 400, no_body),
            ("GET", "/api/v1/a/b/c/d/e/f", b" ", False, 400, no_body),
            # ... but the path is checked first.
            ("GET", "/api/v2/info", b"{}", False, 404, error("not_found", "unknown path")),
            ("GET", "/api/v1//info", b"{}", True, 404, error("not_found", "malformed path")),
            # Methods: the resource exists, the method does not.
            ("POST", "/api/v1/info", None, False, 405, method("POST")),
            ("PUT", "/api/v1/info", b"{}", True, 405, method("PUT")),
            ("DELETE", "/api/v1/info", None, True, 405, method("DELETE")),
            ("POST", "/api/v1/jobs", b"{}", True, 405, method("POST")),
            ("DELETE", "/api/v1/jobs?limit=0", None, False, 405, method("DELETE")),
            ("POST", "/api/v1/jobs/nightly", b"{}", True, 405, method("POST")),
            ("POST", "/api/v1/settings/sched", None, False, 405, method("POST")),
            ("DELETE", "/api/v1/settings/mail", None, True, 405, method("DELETE")),
            ("GET", "/api/v1/validate/job", None, False, 405, method("GET")),
            ("GET", "/api/v1/mail/test", None, True, 405, method("GET")),
            ("GET", "/api/v1/jobs/nightly/run", None, False, 405, method("GET")),
            ("DELETE", "/api/v1/jobs/nightly/cancel", None, True, 405, method("DELETE")),
            ("POST", "/api/v1/jobs/nightly/runs", None, False, 405, method("POST")),
            ("PUT", "/api/v1/mail/results/1", b"{}", True, 405, method("PUT")),
            ("POST", "/api/v1/jobs/nightly/runs/1/log", None, False, 405, method("POST")),
            # Queries: on /info after the method, on one job and the settings before it.
            ("GET", "/api/v1/info?x=1", None, False, 400, no_query),
            ("GET", "/api/v1/info?limit=5", None, True, 400, no_query),
            ("POST", "/api/v1/info?x=1", None, False, 405, method("POST")),
            ("GET", "/api/v1/jobs/nightly?x", None, False, 400, no_query),
            ("GET", "/api/v1/jobs/no-such-job?x=1", None, True, 400, no_query),
            ("POST", "/api/v1/jobs/nightly?x=1", None, False, 400, no_query),
            ("PUT", "/api/v1/jobs/nightly?x=1", b"{}", False, 400, no_query),
            ("GET", "/api/v1/settings/sched?a=b", None, False, 400, no_query),
            ("DELETE", "/api/v1/settings/sched?a=b", None, True, 400, no_query),
            ("GET", "/api/v1/settings/mail?=", None, True, 400, no_query),
            ("GET", "/api/v1/jobs/nightly/runs?x=1", None, False, 400, no_query),
            ("GET", "/api/v1/mail/results/1?x=1", None, False, 400, no_query),
            ("POST", "/api/v1/mail/test?x=1", None, False, 400, no_query),
            ("POST", "/api/v1/validate/job?x=1", b"{}", False, 400, no_query),
            ("GET", "/api/v1/validate/job?x=1", None, False, 405, method("GET")),
            # Admin operations refused to a read token before the body is looked at.
            ("PUT", "/api/v1/jobs/nightly", b"{}", False, 403, admin_only),
            ("DELETE", "/api/v1/jobs/nightly", None, False, 403, admin_only),
            ("PUT", "/api/v1/settings/sched", b"{}", False, 403, admin_only),
            ("PUT", "/api/v1/settings/mail", b"{}", False, 403, admin_only),
            ("POST", "/api/v1/mail/test", None, False, 403, admin_only),
            ("POST", "/api/v1/jobs/nightly/run", b"{}", False, 403, admin_only),
            ("POST", "/api/v1/jobs/nightly/cancel", None, False, 403, admin_only),
            ("POST", "/api/v1/jobs/nightly/run", b"{}", True, 400,
             error("bad_request", "this takes no body")),
            ("POST", "/api/v1/jobs/x%20y/cancel", b"1", True, 400,
             error("bad_request", "this takes no body")),
        ]
        for verb, target, body, admin, status, want in cases:
            with self.subTest(method=verb, target=target, body=body, admin=admin):
                self.assertEqual(self.d.get(target, method=verb, body=body, admin=admin),
                                 (status, want))

    @unittest.skipIf(shutil.which("curl") is None, "curl is not installed")
    def test_curl(self):
        base = ["curl", "-sS", "--max-time", "20", "--cacert", self.d.cert, "-H",
                "Authorization: Bearer reader." + self.d.secrets["reader"], "-w", "\n%{http_code}"]
        for target, status, check in (
                ("/api/v1/jobs/a%20b", 200, lambda b: b["job"]["name"] == "a b"),
                ("/api/v1/jobs?offset=100&limit=50", 200,
                 lambda b: [j["name"] for j in b["jobs"]] == self.names[100:]),
                ("/api/v1/jobs/a%2Fb", 404, lambda b: b == error("not_found", "malformed path")),
                ("/api/v1/jobs?limit=100", 400,
                 lambda b: b == error("bad_query", "limit must be 1..50"))):
            with self.subTest(target=target):
                p = subprocess.run(base + ["https://127.0.0.1:%d%s" % (self.d.port, target)],
                                   capture_output=True, timeout=60)
                self.assertEqual(p.returncode, 0, p.stderr)
                body, _, code = p.stdout.rpartition(b"\n")
                self.assertEqual(int(code), status, body)
                self.assertTrue(check(json.loads(body)), body)
        # A GET with a body, as curl sends it when told to.
        p = subprocess.run(base + ["-X", "GET", "--data-binary", "{}",
                                   "https://127.0.0.1:%d/api/v1/info" % self.d.port],
                           capture_output=True, timeout=60)
        body, _, code = p.stdout.rpartition(b"\n")
        self.assertEqual((int(code), json.loads(body)),
                         (400, error("bad_request", "GET takes no body")))


if __name__ == "__main__":
    unittest.main()

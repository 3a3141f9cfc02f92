"""The API's router and read-only resources end to end: the real daemon with its network process,
requests over TLS from Python's http.client and curl, read tokens as Bearer and admin tokens as
signed requests. One daemon per class, shared by its tests."""

import hashlib
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

from vrktest import (BUILD, QUEUE_NEVER, SCHED, STANDINS, VERSION, api_response_signature,
                     api_signed_authorization, base_env, encode_entry, free_port, run, wait_until)

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
        self.err = None
        try:
            self.setup(body, queue_entries)
        except BaseException:
            self.close()
            raise

    def setup(self, body, queue_entries):
        self.api = ("[api]\nenabled = yes\nlisten = 127.0.0.1:%d\ncert = %s\nkey = %s\n"
                    "tokens-file = %s\nallowed-commands = maint-prune,verify , agent\n"
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
        wait_until(lambda: "API ready" in self.log() or self.proc.poll() is not None,
                   what="API ready")
        if self.proc.poll() is not None:
            raise AssertionError("daemon ended:\n" + self.log())

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
        """Stops the daemon; fails when the network process had to be replaced or an answer
        could not be handed to it."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.err is None:
            shutil.rmtree(self.dir, ignore_errors=True)
            return
        self.err.close()
        log = self.log()
        shutil.rmtree(self.dir, ignore_errors=True)
        for bad in ("vrk_sched: network process pid=", "could not hand an API response"):
            if bad in log:
                raise AssertionError("daemon log has %r:\n%s" % (bad, log))

    def children(self):
        """Process ids of the daemon's children (none once it has ended)."""
        out = []
        try:
            for tid in os.listdir("/proc/%d/task" % self.proc.pid):
                with open("/proc/%d/task/%s/children" % (self.proc.pid, tid)) as f:
                    out += [int(p) for p in f.read().split()]
        except OSError:
            pass
        return out

    def signed(self, method, path, query="", body=b"", nonce=None):
        """The Authorization value of a request signed with the admin token."""
        ts = str(int(time.time()))
        nonce = nonce or os.urandom(16).hex()
        return api_signed_authorization("adm", self.secrets["adm"], method, path, query, ts, nonce,
                                        body), nonce

    def request(self, target, method="GET", body=None, admin=False):
        """(status, headers, body bytes) of one request over a new TLS connection that checks
        the api-init certificate; a read token as Bearer, or the admin token signed, in which
        case the response signature is checked too."""
        ctx = ssl.create_default_context(cafile=self.cert)
        # Longer than the network process waits for the scheduler: a scheduler that does not
        # answer shows as that process's 504, not as a client time-out.
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=ctx, timeout=60)
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
            want = api_response_signature(self.secrets["adm"], nonce, r.status, data)
            if r.headers.get("X-VRK-Signature") != want:
                raise AssertionError("bad response signature for %s %s" % (method, target))
        return r.status, r.headers, data

    def get(self, target, **kw):
        """(status, parsed JSON body); an error body must be exactly as the API writes it."""
        status, _, data = self.request(target, **kw)
        body = json.loads(data)
        if isinstance(body, dict) and "error" in body:
            e = body["error"]
            want = '{"error":{"code":%s,"message":%s}}' % (json.dumps(e["code"]),
                                                           json.dumps(e["message"]))
            if data != want.encode():
                raise AssertionError("error body %r, want %r" % (data, want))
        return status, body


def padded(text, size):
    """text followed by comment lines up to size bytes in all."""
    line = b"#" + b"x" * 78 + b"\n"
    rest = size - len(text)
    return text + line * (rest // len(line) - 1) + b"#" + b"y" * (rest % len(line) + 78) + b"\n"


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def etag_of(path):
    return '"%s"' % hashlib.sha256(read_bytes(path)).hexdigest()


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
            "[%s]\ncommand = agent\nschedule = %s\n\n" % ("n" * 127, cls.schedule),
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
        shutil.rmtree(cls.tmp, ignore_errors=True)
        cls.d.close()

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
        plain = dict(config["a b"], once=None, once_unix=None)
        config["verify-after"] = dict(plain, name="verify-after", command="verify",
                                      after=["nightly", "a b"], after_mode="finished",
                                      api_allowed=True)
        config["off"] = dict(plain, name="off", command="maint-prune", schedule=self.schedule,
                             enabled=False, api_allowed=True)
        config["failed"] = dict(plain, name="failed", command="verify", after=["done"],
                                api_allowed=True)
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
                             ("caf\u00e9", "caf%C3%A9"), ("caf\u00e9", "caf%c3%a9"),
                             ("n" * 127, "n" * 126 + "%6E")):
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
            ("/api/v1/jobs/%C3", error("not_found", "no job named '\ufffd'")),
            ("/api/v1/jobs/%ED%A0%80", error("not_found", "no job named '\ufffd\ufffd\ufffd'")),
            ("/api/v1/jobs/%22q%22%5C", error("not_found", "no job named '\"q\"\\'")),
            ("/api/v1/jobs/NIGHTLY", error("not_found", "no job named 'NIGHTLY'")),
            ("/api/v1/jobs/" + "n" * 128, error("not_found", "no job named '%s'" % ("n" * 128))),
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
        # "Content-Length: 0" is no body.
        for target in ("/api/v1/info", "/api/v1/jobs?limit=1", "/api/v1/settings/sched"):
            with self.subTest(target=target, body=b""):
                self.assertEqual(self.d.get(target, body=b"")[0], 200)

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



class FileStatesTest(unittest.TestCase):
    """Each request reads the file anew: settings as the file says them, and a file that cannot
    be read or parsed after the daemon started. Every test puts the good file back."""

    @classmethod
    def setUpClass(cls):
        cls.good = ("# read-only tests\n[nightly]\ncommand = agent\nschedule = %s\n\n"
                    "[verify]\ncommand = verify\nafter = nightly\n" % far_schedule())
        cls.d = Daemon(cls.good)

    @classmethod
    def tearDownClass(cls):
        cls.d.close()

    def tearDown(self):
        cfg = self.d.cfg
        if os.path.isdir(cfg) and not os.path.islink(cfg):
            os.rmdir(cfg)
        self.d.write_config(self.good)
        self.assertIsNone(self.d.proc.poll(), self.d.log())

    def write_raw(self, data):
        with open(self.d.cfg + ".new", "wb") as f:
            f.write(data)
        os.replace(self.d.cfg + ".new", self.d.cfg)

    def test_unusable_file_gives_500_on_every_resource(self):
        cfg = self.d.cfg
        cannot = "cannot read " + cfg
        text = (self.d.api + self.good).encode()

        def replace_with(make):
            def do():
                os.unlink(cfg)
                make()
            return do

        cases = [
            ("missing", lambda: os.unlink(cfg), cannot),
            ("directory", replace_with(lambda: os.mkdir(cfg)), cannot),
            ("fifo", replace_with(lambda: os.mkfifo(cfg)), cannot),
            ("dangling symlink", replace_with(lambda: os.symlink(cfg + ".gone", cfg)), cannot),
            ("endless device", replace_with(lambda: os.symlink("/dev/zero", cfg)), cannot),
            ("empty device", replace_with(lambda: os.symlink("/dev/null", cfg)), cannot),
            ("one byte over 1 MiB", lambda: self.write_raw(padded(text, 1048577)), cannot),
            ("a NUL byte", lambda: self.write_raw(text + b"# \0\n"), cannot),
            ("an unknown key", lambda: self.write_raw(text + b"colour = blue\n"),
             "%s:%d: unknown setting 'colour'" % (cfg, text.count(b"\n") + 1)),
            ("a job that does not check",
             lambda: self.write_raw(text + b"\n[solo]\ncommand = agent\n"),
             "[solo]: needs at least one of 'schedule', 'once' or 'after' (or set enabled=no)"),
            ("a bad section", lambda: self.write_raw(b"[sched]\npoll-interval = soon\n" + text),
             "%s:2: 'poll-interval' must be a number" % cfg),
        ]
        targets = ["/api/v1/info", "/api/v1/jobs", "/api/v1/jobs?offset=1&limit=1",
                   "/api/v1/jobs/nightly", "/api/v1/jobs/no-such-job", "/api/v1/settings/sched",
                   "/api/v1/settings/mail"]
        for what, make_bad, message in cases:
            make_bad()
            before = os.lstat(cfg) if os.path.lexists(cfg) else None
            content = read_bytes(cfg) if os.path.isfile(cfg) else None
            for target in targets:
                for admin in (False, True):
                    with self.subTest(what=what, target=target, admin=admin):
                        self.assertEqual(self.d.get(target, admin=admin),
                                         (500, error("config_unreadable", message)))
            with self.subTest(what=what, check="refusals before the file"):
                self.assertEqual(self.d.get("/api/v1/jobs?limit=0"),
                                 (400, error("bad_query", "limit must be 1..50")))
                self.assertEqual(self.d.get("/api/v1/info?x=1"),
                                 (400, error("bad_query",
                                             "this resource takes no query parameters")))
                self.assertEqual(self.d.get("/api/v1/jobs/"),
                                 (404, error("not_found", "malformed path")))
            with self.subTest(what=what, check="file untouched"):
                if before is None:
                    self.assertFalse(os.path.lexists(cfg))
                else:
                    after = os.lstat(cfg)
                    self.assertEqual((after.st_ino, after.st_mode, after.st_size),
                                     (before.st_ino, before.st_mode, before.st_size))
                if content is not None:
                    self.assertEqual(read_bytes(cfg), content)
            # Back to a good file: answered again.
            self.tearDown()
            status, got = self.d.get("/api/v1/jobs/nightly")
            self.assertEqual((status, got["config_etag"]), (200, etag_of(cfg)))
        # The daemon kept running on the configuration it had.
        self.assertIn("API ready", self.d.log())

    def test_a_file_of_exactly_1_mib_is_read(self):
        text = (self.d.api + self.good).encode()
        self.write_raw(padded(text, 1048576))
        self.assertEqual(os.path.getsize(self.d.cfg), 1048576)
        for target in ("/api/v1/info", "/api/v1/settings/sched"):
            with self.subTest(target=target):
                status, got = self.d.get(target)
                self.assertEqual((status, got["config_etag"]), (200, etag_of(self.d.cfg)))

    def test_the_etag_follows_every_byte(self):
        seen = set()
        for tail in ("", "# a comment\n", "# a comment \n", "# a comment\n"):
            self.d.write_config(self.good + tail)
            status, got = self.d.get("/api/v1/settings/sched")
            self.assertEqual((status, got["config_etag"]), (200, etag_of(self.d.cfg)))
            seen.add(got["config_etag"])
        self.assertEqual(len(seen), 3)

    def test_settings_as_the_file_says(self):
        self.d.write_config(self.good)
        self.assertEqual(self.d.get("/api/v1/settings/sched")[1]["sched"], {
            "poll_interval": None, "busy_retry_seconds": None, "job_timeout_seconds": None,
            "job_log_keep": None, "job_log_dir": None})
        status, got = self.d.get("/api/v1/settings/mail", admin=True)
        self.assertEqual(got, {"config_etag": etag_of(self.d.cfg), "mail": None})
        self.assertFalse(self.d.get("/api/v1/info")[1]["mail_configured"])

        self.d.write_config("[sched]\npoll-interval = 30\nbusy-retry-seconds = 0\n"
                            "job-timeout-seconds = 7200\njob-log-keep = 3\n"
                            "job-log-dir = %s\n\n%s" % (self.d.path("job logs"), self.good))
        self.assertEqual(self.d.get("/api/v1/settings/sched")[1]["sched"], {
            "poll_interval": 30, "busy_retry_seconds": None, "job_timeout_seconds": 7200,
            "job_log_keep": 3, "job_log_dir": self.d.path("job logs")})

        secret_file = self.d.path("pass")
        with open(secret_file, "w") as f:
            f.write("from-a-file \n")
        plain = {"smtp_host": "smtp.example.org", "smtp_port": 25, "tls": "none",
                 "smtp_user": None, "smtp_password_set": False, "smtp_password_source": None,
                 "from": "vrk@example.org", "to": ["a@example.org"], "ca_file": None,
                 "timeout_seconds": 60, "notify": "never"}
        cases = [
            # A commented-out key is not a key.
            ("smtp-host = smtp.example.org\ntls = none\n# smtp-password = file:/x\n", plain),
            ("smtp-host = smtp.example.org\ntls = none\nsmtp-port = 2525\ntimeout-seconds = 5\n"
             "notify = always\n", dict(plain, smtp_port=2525, timeout_seconds=5,
                                       notify="always")),
            ("smtp-host = smtp.example.org\nsmtp-user = u\nsmtp-password = hunter2 literal\n",
             dict(plain, tls="starttls", smtp_port=587, smtp_user="u", smtp_password_set=True,
                  smtp_password_source="literal")),
            # The prefix is case-sensitive: this is a literal password.
            ("smtp-host = smtp.example.org\ntls = smtps\nsmtp-user = u\n"
             "smtp-password = File:hunter2\n",
             dict(plain, tls="smtps", smtp_port=465, smtp_user="u", smtp_password_set=True,
                  smtp_password_source="literal")),
            ("smtp-host = smtp.example.org\ntls = starttls\nsmtp-user = u\n"
             "smtp-password = file:%s\nnotify = failed\n" % secret_file,
             dict(plain, tls="starttls", smtp_port=587, smtp_user="u", smtp_password_set=True,
                  smtp_password_source="file", notify="failed")),
        ]
        for settings, want in cases:
            with self.subTest(settings=settings):
                self.d.write_config("[mail]\n%sfrom = vrk@example.org\nto = a@example.org\n\n%s"
                                    % (settings, self.good))
                for admin in (False, True):
                    status, _, data = self.d.request("/api/v1/settings/mail", admin=admin)
                    self.assertEqual(status, 200, data)
                    for secret in (b"hunter2", b"from-a-file"):
                        self.assertNotIn(secret, data)
                    self.assertEqual(json.loads(data),
                                     {"config_etag": etag_of(self.d.cfg), "mail": want})
                self.assertTrue(self.d.get("/api/v1/info")[1]["mail_configured"])

    def test_queue_file_is_read_for_each_request(self):
        """What another process wrote into the queue file shows at once."""
        status, got = self.d.get("/api/v1/jobs/nightly")
        self.assertEqual(got["job"]["state"]["status"], "PENDING")
        entries = [encode_entry("nightly", "DONE", next_run=4000000000, last_run=PAST,
                                last_finish=PAST + 9, exit_code=0),
                   encode_entry("verify", "FAILED", next_run=QUEUE_NEVER, last_run=PAST + 10,
                                last_finish=PAST + 20, exit_code=2, dependency_mark=PAST + 9)]
        with open(self.d.queue + ".new", "wb") as f:
            f.write(b"".join(entries))
        os.replace(self.d.queue + ".new", self.d.queue)
        status, page = self.d.get("/api/v1/jobs")
        self.assertEqual(status, 200, page)
        self.assertEqual([j["state"] for j in page["jobs"]], [
            {"status": "DONE", "next_run": 4000000000, "last_run": PAST, "last_finish": PAST + 9,
             "last_exit_code": 0, "run_requested": False},
            {"status": "FAILED", "next_run": None, "last_run": PAST + 10,
             "last_finish": PAST + 20, "last_exit_code": 2, "run_requested": False}])

    def test_pages_end_early_to_fit_the_response(self):
        """Jobs whose arguments are 1000 bytes that are not UTF-8, each written as a 6-byte
        escape: about 7 KB a job, so a page holds only a few."""
        schedule = far_schedule()
        names = ["big-%03d-%s" % (i, "\u00e9" * 59) for i in range(120)]
        text = "".join("[%s]\ncommand = agent\nprofile = %s\nschedule = %s\nargs = --print %s\n\n"
                       % (n, "p" * 127, schedule, "\udcff" * 1000) for n in names)
        self.write_raw((self.d.api + text).encode("utf-8", "surrogateescape"))
        got, offset, pages = [], 0, []
        while offset is not None:
            status, headers, data = self.d.request("/api/v1/jobs?offset=%d" % offset,
                                                   admin=len(pages) % 2 == 1)
            self.assertEqual(status, 200, data[:200])
            # The page ends while 256 bytes are still free.
            self.assertLessEqual(len(data), 61440 - 256 + len(',"next_offset":null}'))
            page = json.loads(data)
            self.assertEqual((page["offset"], page["total"]), (offset, 120))
            for job in page["jobs"]:
                self.assertEqual(job["args"], "--print " + "\ufffd" * 1000)
            got += [j["name"] for j in page["jobs"]]
            pages.append(len(page["jobs"]))
            self.assertGreater(pages[-1], 0)
            offset = page["next_offset"]
            self.assertLess(len(pages), 20)
        self.assertEqual(got, names)
        self.assertEqual(pages[:-1], [pages[0]] * (len(pages) - 1))
        self.assertLess(pages[0], 10)


class RunningJobTest(unittest.TestCase):
    """A job the daemon starts and that sleeps until the test ends it."""

    @classmethod
    def setUpClass(cls):
        cls.d = Daemon("[sleeper]\ncommand = agent\nonce = %d\nargs = --sleep 60\n\n"
                       "[other]\ncommand = verify\nschedule = %s\n"
                       % (int(time.time()), far_schedule()))

    @classmethod
    def tearDownClass(cls):
        for pid in cls.d.children():
            if cls.stand_in(pid):
                os.kill(pid, signal.SIGKILL)
        cls.d.close()

    @staticmethod
    def stand_in(pid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                return b"vrk_agent" in f.read()
        except OSError:
            return False

    def state(self, name="sleeper", admin=False):
        status, got = self.d.get("/api/v1/jobs/" + name, admin=admin)
        self.assertEqual(status, 200, got)
        return got["job"]["state"]

    def test_running_then_ended(self):
        wait_until(lambda: self.state()["status"] == "RUNNING", what="sleeper running")
        now = int(time.time())
        for admin in (False, True):
            with self.subTest(admin=admin):
                state = self.state(admin=admin)
                self.assertEqual((state["status"], state["last_exit_code"],
                                  state["run_requested"]), ("RUNNING", None, False))
                self.assertLessEqual(self.d.started, state["last_run"])
                self.assertLessEqual(state["last_run"], now)
                status, info = self.d.get("/api/v1/info", admin=admin)
                self.assertEqual((status, info["running_job"], info["run_queue"]),
                                 (200, "sleeper", []))
                status, page = self.d.get("/api/v1/jobs", admin=admin)
                self.assertEqual([j["state"]["status"] for j in page["jobs"]],
                                 ["RUNNING", "PENDING"])
                self.assertEqual(page["jobs"][0]["state"], state)
        # Other requests are answered while the job runs.
        self.assertEqual(self.d.get("/api/v1/nothing"),
                         (404, error("not_found", "unknown path")))

        pids = [p for p in self.d.children() if self.stand_in(p)]
        self.assertEqual(len(pids), 1, pids)
        os.kill(pids[0], signal.SIGTERM)
        wait_until(lambda: self.state()["status"] != "RUNNING", what="sleeper ended")
        state = self.state(admin=True)
        self.assertEqual((state["status"], state["last_exit_code"], state["next_run"]),
                         ("FAILED", 143, None))
        self.assertLessEqual(state["last_run"], state["last_finish"])
        self.assertIsNone(self.d.get("/api/v1/info")[1]["running_job"])


if __name__ == "__main__":
    unittest.main()

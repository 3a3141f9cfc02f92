"""vrk_sched_client against the real daemon and its network process: every command the server
offers today, signatures checked (a proxy that tampers with answers is refused), pinned and CA
trust, the token file's rules, and the metrics text checked with promtool when it is installed.
Commands whose server handlers are missing (the server answers 500 "no response") are skipped.
"""

import hashlib
import hmac
import http.server
import json
import os
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import unittest
import urllib.parse

from daemon_test import DaemonCase
from mail_test import Server
from vrktest import BIN_DIR, free_port, run

CLIENT = os.path.join(BIN_DIR, "vrk_sched_client")
NO_HANDLER = "500 internal: no response"


class TamperProxy:
    """TLS on 127.0.0.1 with the server's own certificate, forwarding each request to the real
    server and changing its answer with tamper(head, body) -> (head, body). One request per
    connection; the answer says Connection: close."""

    def __init__(self, cert, key, port, tamper):
        self.port = free_port()
        self.upstream = port
        self.tamper = tamper
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(cert, key)
        self.sock = socket.create_server(("127.0.0.1", self.port))
        self.sock.settimeout(0.2)
        self.done = False
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def close(self):
        self.done = True
        self.thread.join()
        self.sock.close()

    @staticmethod
    def read_message(conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return data, b""
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        m = re.search(rb"(?im)^content-length:\s*(\d+)", head)
        want = int(m.group(1)) if m else 0
        while len(body) < want:
            chunk = conn.recv(65536)
            if not chunk:
                break
            body += chunk
        return head, body

    def serve(self):
        while not self.done:
            try:
                raw, _ = self.sock.accept()
            except socket.timeout:
                continue
            try:
                with self.ctx.wrap_socket(raw, server_side=True) as conn:
                    head, body = self.read_message(conn)
                    up_ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
                    up_ctx.check_hostname = False
                    up_ctx.verify_mode = ssl.CERT_NONE
                    with up_ctx.wrap_socket(socket.create_connection(
                            ("127.0.0.1", self.upstream))) as up:
                        up.sendall(head + b"\r\n\r\n" + body)
                        rhead, rbody = self.read_message(up)
                    rhead, rbody = self.tamper(rhead, rbody)
                    lines = [l for l in rhead.split(b"\r\n")
                             if not l.lower().startswith((b"connection:", b"content-length:"))]
                    lines += [b"Content-Length: %d" % len(rbody), b"Connection: close"]
                    conn.sendall(b"\r\n".join(lines) + b"\r\n\r\n" + rbody)
            except (OSError, ssl.SSLError):
                pass


def flip_signature(head, body):
    def flip(m):
        sig = m.group(2)
        return m.group(1) + (b"0" if sig[:1] != b"0" else b"1") + sig[1:]
    return re.sub(rb"(?im)^(x-vrk-signature:\s*)(\S+)", flip, head), body


def flip_body(head, body):
    i = body.index(b"vrk_sched")
    return head, body[:i] + b"V" + body[i + 1:]


def drop_signature(head, body):
    return re.sub(rb"(?im)^x-vrk-signature:[^\r\n]*\r\n", b"", head + b"\r\n")[:-2], body


class ClientCase(DaemonCase):
    jobs_text = "[nightly]\ncommand = agent\nschedule = 0 2 * * *\n"
    extra_api = ""

    def setUp(self):
        super().setUp()
        self.port = free_port()
        self.config("[api]\nenabled = yes\nlisten = 127.0.0.1:%d\ncert = %s\nkey = %s\n"
                    "tokens-file = %s\nallow-config-write = yes\n%s\n%s"
                    % (self.port, self.path("api.crt"), self.path("api.key"),
                       self.path("tokens"), self.extra_api, self.jobs_text))
        rc, out, err = self.sched("api-init", "--cn", "127.0.0.1", "--config", self.cfg)
        self.assertEqual(rc, 0, err)
        self.fingerprint = re.search(r"SHA-256 fingerprint: (\S+)", out).group(1)
        self.tokens = {}
        for name, role in (("adm", "admin"), ("reader", "read")):
            rc, out, err = self.sched("api-token", "add", name, "--role", role,
                                      "--config", self.cfg)
            self.assertEqual(rc, 0, err)
            credential = re.search(r"keep it secret\): (\S+)", out).group(1)
            self.tokens[name] = self.write("token-" + name, credential + "\n")
            os.chmod(self.tokens[name], 0o600)
        self.start()
        self.wait_log("API ready")

    def client(self, *args, token="adm", port=None, trust=None, stdin=None):
        """(exit status, stdout, stderr) of one client run."""
        trust = trust or ["--ca-file", self.path("api.crt")]
        argv = [CLIENT, "--url", "https://127.0.0.1:%d" % (port or self.port), *trust,
                "--token-file", self.tokens[token], *args]
        if stdin is None:
            return run(argv, env=self.env)
        p = subprocess.run(argv, input=stdin.encode(), capture_output=True, env=self.env,
                           timeout=60)
        return p.returncode, p.stdout.decode(), p.stderr.decode()

    def ok_json(self, *args, **kw):
        rc, out, err = self.client(*args, **kw)
        self.assertEqual((rc, err), (0, ""), out)
        return json.loads(out)

    def need_handler(self, result):
        """Skips the test while the server lacks the handler behind this command."""
        if result[0] != 0 and NO_HANDLER in result[2]:
            self.skipTest("the server has no handler for this resource yet")
        return result


class ReadTest(ClientCase):
    jobs_text = "".join("[job-%02d]\ncommand = agent\nschedule = 0 %d * * *\n" % (i, i % 24)
                        for i in range(60))

    def test_read_commands_follow_pages_and_check_signatures(self):
        info = self.ok_json("info")
        self.assertEqual(info["token"], {"name": "adm", "role": "admin"})
        # The read token signs too, and its answers are checked the same way.
        self.assertEqual(self.ok_json("info", token="reader")["token"]["role"], "read")
        jobs = self.ok_json("jobs")
        self.assertEqual(jobs["total"], 60)
        self.assertEqual([j["name"] for j in jobs["jobs"]], ["job-%02d" % i for i in range(60)])
        self.assertEqual(jobs["config_etag"], info["config_etag"])
        self.assertEqual(self.ok_json("job", "job-07")["job"]["schedule"], "0 7 * * *")
        self.assertIn("sched", self.ok_json("settings", "get", "sched"))
        self.assertIsNone(self.ok_json("settings", "get", "mail")["mail"])
        pinned = ["--fingerprint", self.fingerprint]
        self.assertEqual(self.ok_json("info", trust=pinned)["server"], "vrk_sched")
        self.assertEqual(self.ok_json("info", trust=["--fingerprint", self.fingerprint.lower()])
                         ["server"], "vrk_sched")

    def test_server_errors_are_one_error_line(self):
        rc, out, err = self.client("job", "nope")
        self.assertEqual((rc, out), (1, ""))
        self.assertEqual(err, "error: 404 not_found: no job named 'nope'\n")
        # A name that needs percent-encoding reaches the server as written.
        rc, out, err = self.client("job", "a b")
        self.assertEqual(err, "error: 404 not_found: no job named 'a b'\n")

    def test_indented_on_a_terminal_and_usage(self):
        import pty
        master, slave = pty.openpty()
        p = subprocess.Popen([CLIENT, "--url", "https://127.0.0.1:%d" % self.port, "--ca-file",
                              self.path("api.crt"), "--token-file", self.tokens["adm"], "job",
                              "job-01"], stdout=slave, stderr=subprocess.PIPE, env=self.env)
        os.close(slave)
        out = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the other side is closed
                break
            if not chunk:
                break
            out += chunk
        os.close(master)
        self.assertEqual(p.wait(), 0, p.stderr.read())
        p.stderr.close()
        text = out.decode().replace("\r\n", "\n")
        self.assertTrue(text.startswith('{\n  "config_etag": "\\"'), text)
        self.assertIn('\n    "name": "job-01",\n', text)
        self.assertEqual(json.loads(text)["job"]["name"], "job-01")
        rc, out, err = run([CLIENT])
        self.assertEqual((rc, err), (2, ""))
        self.assertTrue(out.startswith("vrk_sched_client "), out)
        self.assertIn("\n  log <name> <run-id>|latest\n", out)

    def test_metrics_text(self):
        rc, out, err = self.client("metrics")
        self.assertEqual(rc, 0, err)
        lines = out.splitlines()
        self.assertIn('vrk_sched_job_enabled{job_name="job-00"} 1', lines)
        self.assertEqual(len([l for l in lines if l.startswith("vrk_sched_job_running{")]), 60)
        next_run = [l for l in lines
                    if l.startswith('vrk_sched_job_next_run_timestamp_seconds{job_name="job-05"}')]
        self.assertEqual(len(next_run), 1)
        self.assertGreater(int(next_run[0].split()[-1]), 0)
        promtool = shutil.which("promtool")
        if promtool is None:
            self.skipTest("promtool is not installed (Debian package prometheus)")
        p = subprocess.run([promtool, "check", "metrics"], input=out.encode(),
                           capture_output=True)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)


class TrustTest(ClientCase):
    def test_wrong_fingerprint_and_wrong_ca_are_refused(self):
        wrong = "AB:" * 31 + "CD"
        rc, out, err = self.client("info", trust=["--fingerprint", wrong])
        self.assertEqual((rc, out), (1, ""))
        self.assertIn("does not match the pinned fingerprint", err)
        self.assertTrue(err.startswith("error: "), err)
        rc, _, err = self.client("info", trust=["--fingerprint", self.fingerprint[:-3]])
        self.assertEqual(rc, 2)
        self.assertIn("error: --fingerprint: malformed fingerprint", err)
        other = self.path("other")
        os.makedirs(other)
        with open(other + "/x.cfg", "w") as f:
            f.write("[api]\ncert = %s/c.crt\nkey = %s/c.key\n" % (other, other))
        rc, _, err = self.sched("api-init", "--cn", "127.0.0.1", "--config", other + "/x.cfg")
        self.assertEqual(rc, 0, err)
        rc, out, err = self.client("info", trust=["--ca-file", other + "/c.crt"])
        self.assertEqual((rc, out), (1, ""))
        self.assertTrue(err.startswith("error: https://127.0.0.1:"), err)

    def test_tampered_answers_are_refused(self):
        cases = [(flip_signature, "signature does not verify"),
                 (flip_body, "signature does not verify"),
                 (drop_signature, "the answer is not signed")]
        for tamper, want in cases:
            with self.subTest(tamper=tamper.__name__):
                proxy = TamperProxy(self.path("api.crt"), self.path("api.key"), self.port, tamper)
                try:
                    rc, out, err = self.client("info", port=proxy.port)
                finally:
                    proxy.close()
                self.assertEqual((rc, out), (1, ""))
                self.assertIn(want, err)
                self.assertTrue(err.startswith("error: GET /api/v1/info: "), err)
        # The same proxy passing answers on unchanged is fine: the refusals were the tampering.
        proxy = TamperProxy(self.path("api.crt"), self.path("api.key"), self.port,
                            lambda h, b: (h, b))
        try:
            rc, out, err = self.client("info", port=proxy.port)
        finally:
            proxy.close()
        self.assertEqual(rc, 0, err)

    def test_token_file_rules(self):
        os.chmod(self.tokens["adm"], 0o640)
        rc, out, err = self.client("info")
        self.assertEqual((rc, out), (1, ""))
        self.assertEqual(err, "error: %s must not be accessible by group/others (chmod 600)\n"
                         % self.tokens["adm"])
        with open(self.tokens["adm"]) as f:
            name, secret = f.read().strip().split(".", 1)
        self.write("token-adm", "adm." + ("A" if secret[0] != "A" else "B") + secret[1:] + "\n")
        os.chmod(self.tokens["adm"], 0o600)
        rc, out, err = self.client("info")
        self.assertEqual(rc, 1)
        self.assertIn("error: 401 unauthorized: wrong secret or signature (unsigned answer)", err)
        self.assertNotIn(secret, err + out)
        rc, _, err = self.client("info", "--token", "x")
        self.assertEqual(rc, 2)
        self.assertIn("error: unknown option '--token'", err)


class FakeApi:
    """A stand-in API server on 127.0.0.1 for the commands whose server handlers are not there
    yet: it checks each request's signature with Python's hmac (canonical request, body hash,
    If-Match) and signs its answers the same way. handler(method, path, query, body, if_match)
    returns (status, document)."""

    def __init__(self, cert, key, name, secret, handler):
        self.secret = secret.encode()
        self.name = name
        self.handler = handler
        self.requests = []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def answer(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                path, _, query = self.path.partition("?")
                if_match = self.headers.get("If-Match", "")
                m = re.fullmatch(r"VRK-HMAC-SHA256 key=(\S+), ts=(\d+), nonce=([0-9a-f]{32}), "
                                 r"sig=([0-9a-f]{64})", self.headers.get("Authorization", ""))
                status, doc = 401, {"error": {"code": "unauthorized", "message": "bad"}}
                nonce = None
                if m and m.group(1) == outer.name:
                    canonical = "\n".join(["VRK1", self.command, path, query, m.group(2),
                                           m.group(3), hashlib.sha256(body).hexdigest(),
                                           if_match])
                    want = hmac.new(outer.secret, canonical.encode(), hashlib.sha256).hexdigest()
                    if hmac.compare_digest(want, m.group(4)):
                        nonce = m.group(3)
                        outer.requests.append((self.command, path, query, body, if_match))
                        status, doc = outer.handler(self.command, urllib.parse.unquote(path),
                                                    query, body, if_match)
                data = json.dumps(doc).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                if nonce:
                    text = "VRK1-R\n%s\n%d\n%s" % (nonce, status, hashlib.sha256(data).hexdigest())
                    self.send_header("X-VRK-Signature", hmac.new(outer.secret, text.encode(),
                                                                 hashlib.sha256).hexdigest())
                self.end_headers()
                self.wfile.write(data)

            do_GET = do_PUT = do_POST = do_DELETE = answer

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        self.server.socket = ctx.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


class StandInServerTest(ClientCase):
    """The change, run, log and mail commands against FakeApi, so they are covered before the
    server's handlers exist; the same commands run against the daemon in WriteTest, RunTest and
    MailTest once it has them."""

    def fake(self, handler):
        with open(self.tokens["adm"]) as f:
            name, secret = f.read().strip().split(".", 1)
        api = FakeApi(self.path("api.crt"), self.path("api.key"), name, secret, handler)
        self.addCleanup(api.close)
        return api

    def test_changes_sign_body_and_if_match(self):
        def handler(method, path, query, body, if_match):
            if (method, path) == ("GET", "/api/v1/settings/sched"):
                return 200, {"config_etag": '"e1"', "sched": {}}
            if method in ("PUT", "DELETE") and path == "/api/v1/jobs/a b":
                if if_match != '"e1"':
                    return 412, {"error": {"code": "precondition_failed", "message": "changed"}}
                return 200, {"config_etag": '"e2"', "created": True}
            if (method, path) == ("POST", "/api/v1/validate/job"):
                return 200, {"valid": json.loads(body)["name"] == "a b", "result": None}
            return 404, {"error": {"code": "not_found", "message": "unknown path \x1b[2J"}}
        api = self.fake(handler)
        job = '{"command": "agent"}'
        rc, out, err = self.client("put", "a b", stdin=job, port=api.port)
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(json.loads(out)["config_etag"], '"e2"')
        self.assertEqual(api.requests[-1], ("PUT", "/api/v1/jobs/a%20b", "", job.encode(), '"e1"'))
        rc, out, err = self.client("delete", "a b", "--if-match", '"e0"', port=api.port)
        self.assertEqual((rc, out, err), (1, "", "error: 412 precondition_failed: changed\n"))
        self.assertEqual(api.requests[-1][0], "DELETE")
        rc, out, err = self.client("validate", "a b", stdin=job, port=api.port)
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(json.loads(api.requests[-1][3]), {"name": "a b", "command": "agent"})
        path = self.write("job.json", '{"name": "a b", "command": "agent"}')
        rc, out, err = self.client("validate", "--file", path, port=api.port)
        self.assertEqual((rc, err), (0, ""))
        rc, out, err = self.client("validate", "a b", "--file", path, port=api.port)
        self.assertEqual(rc, 1)
        self.assertIn('has a "name" already', err)
        # Control bytes in the server's message do not reach the terminal.
        rc, out, err = self.client("runs", "x", port=api.port)
        self.assertEqual((rc, out, err), (1, "", "error: 404 not_found: unknown path ?[2J\n"))

    def test_job_pages_and_metrics_with_run_history(self):
        state = {"requests": 0, "stable": True}

        def handler(method, path, query, body, if_match):
            if path == "/api/v1/jobs":
                state["requests"] += 1
                offset = int(urllib.parse.parse_qs(query)["offset"][0])
                etag = '"e"' if state["stable"] else '"e%d"' % state["requests"]
                job = {"name": "j%d" % offset, "enabled": True,
                       "state": {"status": "FAILED", "last_run": 50, "last_finish": 60,
                                 "last_exit_code": 2, "next_run": 99}}
                return 200, {"config_etag": etag, "total": 2, "offset": offset, "jobs": [job],
                             "next_offset": 1 if offset == 0 else None}
            if path.endswith("/runs"):
                return 200, {"job": path.split("/")[4], "runs": [
                    {"id": "b", "finished": True, "exit_code": 2, "finish": 60},
                    {"id": "a", "finished": True, "exit_code": 0, "finish": 40}]}
            return 404, {"error": {"code": "not_found", "message": "unknown path"}}
        api = self.fake(handler)
        jobs = self.ok_json("jobs", port=api.port)
        self.assertEqual((jobs["config_etag"], jobs["total"]), ('"e"', 2))
        self.assertEqual([j["name"] for j in jobs["jobs"]], ["j0", "j1"])
        self.assertEqual(jobs["jobs"][1]["state"]["next_run"], 99)
        rc, out, err = self.client("metrics", port=api.port)
        self.assertEqual((rc, err), (0, ""))
        self.assertIn('vrk_sched_job_last_success_timestamp_seconds{job_name="j1"} 40', out)
        self.assertIn('vrk_sched_job_last_exit_code{job_name="j0"} 2', out)
        state["stable"] = False
        rc, out, err = self.client("jobs", port=api.port)
        self.assertEqual((rc, out), (1, ""))
        self.assertEqual(err, "error: the configuration kept changing while the job list was "
                         "read\n")

    def test_log_follow_reads_a_growing_log_to_its_end(self):
        lines = [b"line %d\n" % i for i in range(6)] + [b"--- end ---\n"]
        state = {"written": 0}

        def handler(method, path, query, body, if_match):
            if path == "/api/v1/jobs/nightly/runs":
                return 200, {"job": "nightly", "runs": [{"id": "20261208T100000Z"}]}
            if path != "/api/v1/jobs/nightly/runs/20261208T100000Z/log":
                return 404, {"error": {"code": "not_found", "message": "no such run"}}
            # Each request finds one more line written; chunks are at most 5 bytes.
            state["written"] = min(state["written"] + 1, len(lines))
            text = b"".join(lines[:state["written"]])
            offset = int(urllib.parse.parse_qs(query)["offset"][0])
            chunk = text[offset:offset + 5]
            return 200, {"id": "20261208T100000Z", "offset": offset, "size": len(text),
                         "finished": state["written"] == len(lines),
                         "data": chunk.decode(), "length": len(chunk),
                         "next_offset": offset + len(chunk)}
        api = self.fake(handler)
        rc, out, err = self.client("log", "nightly", "latest", "--follow", port=api.port)
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(out.encode(), b"".join(lines))
        # Without --follow it stops at the end of what is there.
        state["written"] = 0
        rc, out, err = self.client("log", "nightly", "20261208T100000Z", port=api.port)
        self.assertEqual((rc, err), (0, ""))
        self.assertTrue(out.startswith("line 0\n"), out)
        self.assertLess(len(out), len(b"".join(lines)))

    def test_mail_test_polls_until_sent_or_failed(self):
        polls = {"n": 0}
        outcome = {"state": "sent", "error": None}

        def handler(method, path, query, body, if_match):
            if (method, path) == ("POST", "/api/v1/mail/test"):
                polls["n"] = 0
                return 202, {"mail_id": 7}
            if path == "/api/v1/mail/results/7":
                polls["n"] += 1
                state = "pending" if polls["n"] < 3 else outcome["state"]
                return 200, {"mail_id": 7, "state": state,
                             "error": outcome["error"] if state == "failed" else None}
            return 404, {"error": {"code": "not_found", "message": "no such mail"}}
        api = self.fake(handler)
        rc, out, err = self.client("mail-test", port=api.port)
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(json.loads(out)["state"], "sent")
        self.assertEqual(polls["n"], 3)
        outcome.update(state="failed", error="550 refused")
        rc, out, err = self.client("mail-test", port=api.port)
        self.assertEqual(rc, 1)
        self.assertEqual(err, "error: test mail 7 failed: 550 refused\n")
        outcome.update(state="pending")
        rc, out, err = self.client("mail-test", "--wait-seconds", "1", port=api.port)
        self.assertEqual(rc, 1)
        self.assertEqual(err, "error: test mail 7 still pending after 1 s\n")


class WriteTest(ClientCase):
    extra_api = "allowed-commands = agent\n"

    def test_put_validate_delete_and_settings(self):
        job = '{"command": "agent", "schedule": "30 1 * * *"}'
        self.need_handler(self.client("put", "fresh", stdin=job))
        self.assertEqual(self.ok_json("job", "fresh")["job"]["schedule"], "30 1 * * *")
        rc, out, err = self.need_handler(self.client("validate", "other", stdin=job))
        self.assertEqual(rc, 0, err)
        self.assertTrue(json.loads(out)["valid"])
        rc, out, err = self.client("validate", "other", stdin='{"command": "nope"}')
        self.assertEqual(rc, 1)
        self.assertFalse(json.loads(out)["valid"])
        self.assertTrue(err.startswith("error: not valid: "), err)
        rc, out, err = self.client("put", "fresh", "--if-match", '"' + "0" * 64 + '"', stdin=job)
        self.assertEqual(rc, 1)
        self.assertIn("error: 412 precondition_failed:", err)
        rc, _, err = self.client("put", "fresh", stdin="{not json")
        self.assertEqual(rc, 1)
        self.assertIn("error: standard input: not valid JSON: ", err)
        rc, out, err = self.need_handler(self.client("delete", "fresh"))
        self.assertEqual(rc, 0, err)
        rc, _, err = self.client("job", "fresh")
        self.assertIn("404 not_found", err)
        rc, out, err = self.need_handler(
            self.client("settings", "put", "sched", stdin='{"sched": {"poll_interval": 5}}'))
        self.assertEqual(rc, 0, err)
        self.assertEqual(json.loads(out)["sched"]["poll_interval"], 5)


class RunTest(ClientCase):
    jobs_text = ("[slow]\ncommand = agent\nschedule = 0 2 * * *\n"
                 "args = --print first-line --sleep 3\n")
    extra_api = "allowed-commands = agent\n"

    def test_run_runs_and_follow_a_growing_log(self):
        rc, out, err = self.need_handler(self.client("run", "slow"))
        self.assertEqual(rc, 0, err)
        self.assertTrue(json.loads(out)["queued"])
        self.wait_log("job 'slow' starting")
        rc, out, err = self.need_handler(self.client("runs", "slow"))
        self.assertEqual(rc, 0, err)
        runs = json.loads(out)["runs"]
        self.assertEqual(len(runs), 1)
        rc, out, err = self.need_handler(self.client("log", "slow", "latest", "--follow"))
        self.assertEqual(rc, 0, err)
        self.assertIn("first-line", out)
        self.assertIn("--- end ---", out)
        final = self.ok_json("runs", "slow")["runs"][0]
        self.assertTrue(final["finished"])
        self.assertEqual(final["size"], len(out.encode()))
        rc, out, err = self.client("cancel", "slow")
        self.need_handler((rc, out, err))
        self.assertEqual(rc, 1)
        self.assertIn("error: 409 not_running:", err)


class MailTest(ClientCase):
    def setUp(self):
        root = tempfile.mkdtemp(prefix="vrk-client-mail-")
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        self.server = Server("plain", root)
        self.addCleanup(self.server.stop)
        self.jobs_text = ("[mail]\nsmtp-host = 127.0.0.1\nsmtp-port = %d\ntls = none\n"
                          "from = sched@example.org\nto = ops@example.org\n\n"
                          % self.server.port + ClientCase.jobs_text)
        super().setUp()

    def test_mail_test_waits_for_the_result(self):
        rc, out, err = self.need_handler(self.client("mail-test"))
        self.assertEqual(rc, 0, err)
        self.assertEqual(json.loads(out)["state"], "sent")
        self.assertEqual(len(self.server.mails()), 1)


class MonitoringDocTest(unittest.TestCase):
    def test_example_alert_rules_load(self):
        promtool = shutil.which("promtool")
        if promtool is None:
            self.skipTest("promtool is not installed (Debian package prometheus)")
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs",
                               "monitoring.txt")) as f:
            text = f.read()
        block = text[text.index("    groups:"):text.index("Jobs on other intervals")]
        rules = "\n".join(l[4:] for l in block.splitlines()) + "\n"
        with tempfile.NamedTemporaryFile("w", suffix=".yml") as f:
            f.write(rules)
            f.flush()
            p = subprocess.run([promtool, "check", "rules", f.name], capture_output=True)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn(b"SUCCESS: 2 rules found", p.stdout)


if __name__ == "__main__":
    unittest.main()

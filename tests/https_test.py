"""The HTTPS front end of vrk_sched_net, seen from a TLS client on one side and from vrk_sched on
the other: this test plays the scheduler (socket pair as fd 3, listening socket as fd 4,
API_CONFIG, API_RESPONSE) and talks HTTP over Python's ssl to the real process.
"""

import os
import select
import shutil
import socket
import ssl
import subprocess
import tempfile
import unittest

from net_test import (API_CONFIG, API_REQUEST, API_RESPONSE, HELLO, WAIT, drop_to_nobody, message,
                      rec)
from vrktest import NET, base_env

FLAG_FAILED_LOGIN = 64


def make_identity(directory):
    """A self-signed P-256 certificate for 127.0.0.1 and its key, as PEM texts."""
    cert = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    with open(cert) as c, open(key) as k:
        return c.read(), k.read()


def records(payload):
    """The records of a payload as a {tag: bytes} dict."""
    out = {}
    pos = 0
    while pos < len(payload):
        tag = int.from_bytes(payload[pos:pos + 2], "little")
        length = int.from_bytes(payload[pos + 2:pos + 6], "little")
        out[tag] = payload[pos + 6:pos + 6 + length]
        pos += 6 + length
    return out


def api_response(request_id, status, body=b"{}", etag="", signature="", failed_login=False):
    payload = rec(60, status)
    if etag:
        payload += rec(61, etag)
    if signature:
        payload += rec(62, signature)
    if failed_login:
        payload += rec(FLAG_FAILED_LOGIN, 1)
    return message(API_RESPONSE, request_id, payload + rec(63, body))


def response_head(status, reason, body, connection, etag="", signature=""):
    head = ("HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
            "Cache-Control: no-store\r\n" % (status, reason, len(body)))
    if etag:
        head += "ETag: %s\r\n" % etag
    if signature:
        head += "X-VRK-Signature: %s\r\n" % signature
    return (head + "Connection: %s\r\n\r\n" % connection).encode() + body


def error_response(status, reason, code, message_text, connection="close"):
    body = ('{"error":{"code":"%s","message":"%s"}}' % (code, message_text)).encode()
    return response_head(status, reason, body, connection)


class Front:
    """One vrk_sched_net with a dual-stack listening socket on port 0 of [::]."""

    def __init__(self, cert, key, max_clients=16, configure=True):
        self.sock, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        self.listener.bind(("::", 0))
        self.listener.listen(64)
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        child_fd, listen_fd = child.fileno(), self.listener.fileno()

        def prepare():
            os.dup2(child_fd, 3)
            os.dup2(listen_fd, 4)
            os.set_inheritable(3, True)
            os.set_inheritable(4, True)
            drop_to_nobody()

        self.proc = subprocess.Popen(
            [NET, "--ipc-fd", "3", "--listen-fd", "4", "--no-log", "--no-syslog"],
            env=base_env(ASAN_OPTIONS="detect_leaks=0"), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, close_fds=False, preexec_fn=prepare)
        child.close()
        self.listener.close()
        mtype, _, _ = self.recv()
        assert mtype == HELLO
        if configure:
            self.sock.send(message(API_CONFIG, 2, rec(40, cert) + rec(41, key) +
                                   rec(42, max_clients)))
        self.result = None
        self.client_ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        self.client_ctx.load_verify_locations(cadata=cert)
        self.client_ctx.check_hostname = False

    def recv(self, timeout=WAIT):
        """(type, id, {tag: value}) of the next message from vrk_sched_net."""
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            raise AssertionError("no message from vrk_sched_net within %s s" % timeout)
        data = self.sock.recv(70000)
        if not data:
            raise AssertionError("vrk_sched_net closed its end")
        mtype = int.from_bytes(data[6:8], "little")
        mid = int.from_bytes(data[8:12], "little")
        return mtype, mid, records(data[16:])

    def request(self):
        """The next API_REQUEST as (id, fields)."""
        mtype, mid, fields = self.recv()
        assert mtype == API_REQUEST, mtype
        return mid, fields

    def connect(self, host="127.0.0.1"):
        raw = socket.create_connection((host, self.port), timeout=WAIT)
        return self.client_ctx.wrap_socket(raw)

    def finish(self):
        """Closes the scheduler's end and waits; (status, stderr). Safe to call twice."""
        if self.result is not None:
            return self.result
        self.sock.close()
        try:
            _, err = self.proc.communicate(timeout=WAIT)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
        self.result = (self.proc.returncode, err.decode("utf-8", "replace"))
        return self.result


def read_exactly(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def read_to_end(conn):
    """Everything until the server closes the connection."""
    data = b""
    while True:
        try:
            chunk = conn.recv(65536)
        except (ssl.SSLError, ConnectionResetError):
            break
        if not chunk:
            break
        data += chunk
    return data


class HttpsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        cls.cert, cls.key = make_identity(cls.dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def start(self, **kw):
        front = Front(self.cert, self.key, **kw)
        self.addCleanup(front.finish)
        return front

    def test_request_goes_to_the_scheduler_and_its_answer_back(self):
        front = self.start()
        with front.connect() as conn:
            conn.sendall(b"PUT /v1/jobs/a?dry=1 HTTP/1.1\r\nAuthorization: VRK k=1\r\n"
                         b"If-Match: \"e1\"\r\nContent-Length: 5\r\n\r\nhello")
            rid, f = front.request()
            self.assertEqual(rid, 1)
            self.assertEqual(f, {50: b"PUT", 51: b"/v1/jobs/a", 52: b"dry=1", 53: b"VRK k=1",
                                 54: b"\"e1\"", 55: b"127.0.0.1", 56: b"hello"})
            body = b'{"ok":true}'
            front.sock.send(api_response(rid, 200, body, etag="\"e2\"", signature="s=1"))
            want = response_head(200, "OK", body, "keep-alive", etag="\"e2\"", signature="s=1")
            self.assertEqual(read_exactly(conn, len(want)), want)

            # Kept alive: the next request on the same connection gets the next id.
            conn.sendall(b"GET / HTTP/1.1\r\n\r\n")
            rid2, f = front.request()
            self.assertEqual((rid2, f), (2, {50: b"GET", 51: b"/", 55: b"127.0.0.1"}))
            front.sock.send(api_response(rid2, 404, b"", signature=""))
            want = response_head(404, "Not Found", b"", "keep-alive")
            self.assertEqual(read_exactly(conn, len(want)), want)
        # An answer for a connection that is gone is dropped; the process goes on.
        front.sock.send(api_response(77, 200))
        with front.connect() as conn:
            conn.sendall(b"DELETE /x HTTP/1.1\r\nConnection: keep-alive, Close\r\n\r\n")
            rid, _ = front.request()
            front.sock.send(api_response(rid, 202, b"{}"))
            self.assertEqual(read_to_end(conn), response_head(202, "Accepted", b"{}", "close"))

    def test_malformed_requests_are_answered_here_and_never_forwarded(self):
        front = self.start()
        cases = [
            (b"GET / HTTP/2.0\r\n\r\n", 505, "HTTP Version Not Supported", "http_version"),
            (b"get / HTTP/1.1\r\n\r\n", 400, "Bad Request", "bad_request"),
            (b"PATCH / HTTP/1.1\r\n\r\n", 501, "Not Implemented", "not_implemented"),
            (b"GET /" + b"a" * 2048 + b" HTTP/1.1\r\n\r\n", 414, "URI Too Long", "uri_too_long"),
            (b"POST / HTTP/1.1\r\nContent-Length: 32769\r\n\r\n", 413, "Content Too Large",
             "payload_too_large"),
            (b"POST / HTTP/1.1\r\nExpect: later\r\n\r\n", 417, "Expectation Failed",
             "expectation_failed"),
            (b"GET / HTTP/1.1\r\nX: " + b"a" * 8192, 431, "Request Header Fields Too Large",
             "header_too_large"),
            # Values the codec cannot carry to vrk_sched: refused here, not answered 503.
            (b"GET / HTTP/1.1\r\nAuthorization: VRK\tk=1\r\n\r\n", 400, "Bad Request",
             "bad_request"),
            (b"GET / HTTP/1.1\r\nIf-Match: \"\xc3\xa9\"\r\n\r\n", 400, "Bad Request",
             "bad_request"),
        ]
        for raw, status, reason, code in cases:
            with self.subTest(raw=raw[:40]):
                with front.connect() as conn:
                    conn.sendall(raw)
                    want = error_response(status, reason, code, reason)
                    self.assertEqual(read_to_end(conn), want)
        # The scheduler saw none of them: the first request it gets is this one.
        with front.connect() as conn:
            conn.sendall(b"GET /after HTTP/1.1\r\n\r\n")
            rid, f = front.request()
            self.assertEqual((rid, f[51]), (1, b"/after"))

    def test_pipelined_requests_are_answered_in_order(self):
        front = self.start()
        with front.connect() as conn:
            conn.sendall(b"GET /one HTTP/1.1\r\n\r\nPOST /two HTTP/1.1\r\nContent-Length: 2\r\n"
                         b"\r\nhiGET /three HTTP/1.0\r\n\r\n")
            want = b""
            for n, path in enumerate([b"/one", b"/two", b"/three"], start=1):
                rid, f = front.request()
                self.assertEqual((rid, f[51]), (n, path))
                body = b'{"n":%d}' % n
                front.sock.send(api_response(rid, 200, body))
                want += response_head(200, "OK", body, "close" if n == 3 else "keep-alive")
            self.assertEqual(read_to_end(conn), want)

    def test_continue_is_sent_before_the_body_on_http11_only(self):
        front = self.start()
        with front.connect() as conn:
            conn.sendall(b"POST /c HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n")
            interim = b"HTTP/1.1 100 Continue\r\n\r\n"
            self.assertEqual(read_exactly(conn, len(interim)), interim)
            conn.sendall(b"body")
            rid, f = front.request()
            self.assertEqual(f[56], b"body")
            front.sock.send(api_response(rid, 201, b"{}"))
            want = response_head(201, "Created", b"{}", "keep-alive")
            self.assertEqual(read_exactly(conn, len(want)), want)
        with front.connect() as conn:
            conn.sendall(b"POST /c HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n")
            conn.sendall(b"body")
            rid, f = front.request()
            front.sock.send(api_response(rid, 200, b"{}"))
            # No interim response: the answer is the first thing the client reads.
            self.assertEqual(read_to_end(conn), response_head(200, "OK", b"{}", "close"))

    def test_tenth_failed_login_locks_only_that_address(self):
        front = self.start()
        with front.connect() as conn:
            for _ in range(10):
                conn.sendall(b"GET / HTTP/1.1\r\nAuthorization: VRK bad\r\n\r\n")
                rid, _ = front.request()
                body = b'{"error":{}}'
                front.sock.send(api_response(rid, 401, body, failed_login=True))
                want = response_head(401, "Unauthorized", body, "keep-alive")
                self.assertEqual(read_exactly(conn, len(want)), want)
            conn.sendall(b"GET / HTTP/1.1\r\n\r\n")
            want = error_response(429, "Too Many Requests", "too_many_requests",
                                  "too many failed logins from this address, try again later",
                                  "keep-alive")
            self.assertEqual(read_exactly(conn, len(want)), want)
        # Another address still reaches the scheduler.
        with front.connect("::1") as conn:
            conn.sendall(b"GET /six HTTP/1.1\r\n\r\n")
            rid, f = front.request()
            self.assertEqual((rid, f[51], f[55]), (11, b"/six", b"::1"))
            front.sock.send(api_response(rid, 200))
            read_exactly(conn, 10)
        _, err = front.finish()
        self.assertIn("WARN  vrk_sched_net: API: 127.0.0.1 locked out for 60 s after 10 failed "
                      "logins\n", err)

    def test_client_limit_and_missing_settings_close_at_once(self):
        unconfigured = self.start(configure=False)
        with self.assertRaises((ssl.SSLError, ConnectionError, OSError)):
            unconfigured.connect()

        front = self.start(max_clients=1)
        with front.connect() as first:
            with self.assertRaises((ssl.SSLError, ConnectionError, OSError)):
                front.connect()
            first.sendall(b"GET /still HTTP/1.1\r\n\r\n")
            _, f = front.request()
            self.assertEqual(f[51], b"/still")

    def test_unusable_certificate_keeps_the_process_running(self):
        front = self.start(configure=False)
        front.sock.send(message(API_CONFIG, 2, rec(40, self.key) + rec(41, self.key) + rec(42, 4)))
        with self.assertRaises((ssl.SSLError, ConnectionError, OSError)):
            front.connect()
        status, err = front.finish()
        self.assertEqual(status, 0)
        self.assertIn("ERROR API not available: the API certificate/key cannot be used (not PEM, "
                      "or they do not belong together)\n", err)


if __name__ == "__main__":
    unittest.main()

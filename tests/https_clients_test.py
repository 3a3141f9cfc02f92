"""The HTTPS API of the real daemon seen from real clients on 127.0.0.1: curl and openssl s_client
with the certificate made by api-init, and raw requests over Python's ssl for the request parser,
pipelining, keep-alive, 100-continue, the lock-out, the client limit, the time-outs and reloads.
"""

import hashlib
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import threading
import time
import unittest

from daemon_test import DaemonCase
from vrktest import free_port

LOCKED_BODY = (b'{"error":{"code":"too_many_requests","message":"too many failed logins from this '
               b'address, try again later"}}')


def error_body(code, message):
    return ('{"error":{"code":"%s","message":"%s"}}' % (code, message)).encode()


def parse_responses(data):
    """The HTTP responses in data, in order, as (status, {lower-case name: value}, body); the
    rest that does not make a whole response is left out."""
    out = []
    while data:
        end = data.find(b"\r\n\r\n")
        if end < 0:
            break
        lines = data[:end].decode("latin-1").split("\r\n")
        status = int(lines[0].split(" ")[1])
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = int(headers.get("content-length", "0"))
        body = data[end + 4:end + 4 + length]
        if len(body) < length:
            break
        out.append((status, headers, body))
        data = data[end + 4 + length:]
    return out


class HttpsDaemonCase(DaemonCase):
    """The daemon with an [api] section on a free loopback port, its certificate made by api-init
    for 127.0.0.1 and a read token "reader"."""

    max_clients = 16

    def setUp(self):
        super().setUp()
        self.port = free_port()
        self.cert = self.path("api.crt")
        self.write_config(self.max_clients)
        rc, out, err = self.sched("api-init", "--cn", "127.0.0.1", "--config", self.cfg)
        self.assertEqual(rc, 0, err)
        self.fingerprint = re.search(r"SHA-256 fingerprint: (\S+)", out).group(1)
        rc, out, err = self.sched("api-token", "add", "reader", "--role", "read", "--config",
                                  self.cfg)
        self.assertEqual(rc, 0, err)
        self.bearer = "Bearer " + re.search(r"keep it secret\): (\S+)", out).group(1)
        self.start()
        self.wait_log("API ready")

    def write_config(self, max_clients):
        self.config("[api]\nenabled = yes\nlisten = 127.0.0.1:%d\ncert = %s\nkey = %s\n"
                    "tokens-file = %s\nmax-clients = %d\n\n"
                    "[nightly]\ncommand = agent\nschedule = 0 2 * * *\n"
                    % (self.port, self.cert, self.path("api.key"), self.path("tokens"),
                       max_clients))

    def context(self):
        """A client context that trusts only the api-init certificate and checks its name."""
        return ssl.create_default_context(cafile=self.cert)

    def connect(self, timeout=20):
        raw = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        try:
            return self.context().wrap_socket(raw, server_hostname="127.0.0.1")
        except BaseException:
            raw.close()
            raise

    def read_until_closed(self, conn):
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

    def read_responses(self, conn, count):
        """Reads until count whole responses have arrived (or the server closes)."""
        data = b""
        while len(parse_responses(data)) < count:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        return parse_responses(data)

    def exchange(self, raw):
        """Sends raw over a new connection; every response until the server closes it."""
        with self.connect() as conn:
            conn.sendall(raw)
            return parse_responses(self.read_until_closed(conn))

    def info_request(self, version=b"HTTP/1.1", extra=b""):
        return (b"GET /api/v1/info " + version + b"\r\nAuthorization: " + self.bearer.encode() +
                b"\r\n" + extra + b"\r\n")

    def requests_seen(self):
        """How many requests the scheduler's API logged: every refused one, and every one that
        is not a GET."""
        return len(self.log_lines("vrk_sched API: "))

    def net_pids(self):
        return [int(m) for m in re.findall(r"started network process vrk_sched_net pid=(\d+)",
                                           self.log())]


class RealClientsTest(HttpsDaemonCase):
    @unittest.skipIf(shutil.which("curl") is None, "curl is not installed")
    def test_curl_with_the_api_init_certificate(self):
        url = "https://127.0.0.1:%d/api/v1/info" % self.port
        base = ["curl", "-sS", "--max-time", "20", "--cacert", self.cert, "-o", "-",
                "-w", "\n%{http_code} %{ssl_verify_result}"]
        p = subprocess.run(base + ["-H", "Authorization: " + self.bearer, url],
                           capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        body, _, tail = p.stdout.rpartition(b"\n")
        self.assertEqual(tail, b"200 0")
        self.assertIn(b'"token":{"name":"reader","role":"read"}', body)
        p = subprocess.run(base + [url], capture_output=True, timeout=60)
        self.assertEqual(p.stdout.rpartition(b"\n")[2], b"401 0")
        # Below TLS 1.2 there is no handshake.
        p = subprocess.run(base + ["--tlsv1.0", "--tls-max", "1.1", "--ciphers",
                                   "DEFAULT:@SECLEVEL=0", url], capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 35, p.stderr)
        # The certificate served is the one whose fingerprint api-init printed.
        with self.connect() as conn:
            der = conn.getpeercert(binary_form=True)
            self.assertEqual(conn.version() in ("TLSv1.2", "TLSv1.3"), True)
        want = ":".join("%02X" % b for b in hashlib.sha256(der).digest())
        self.assertEqual(want, self.fingerprint)

    @unittest.skipIf(shutil.which("openssl") is None, "openssl is not installed")
    def test_openssl_s_client_versions_and_no_resumption(self):
        def s_client(*args):
            p = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % self.port,
                                "-CAfile", self.cert, "-verify_return_error", *args],
                               input=b"", capture_output=True, timeout=60)
            return p.returncode, (p.stdout + p.stderr).decode("utf-8", "replace")

        for version in ("-tls1_1", "-tls1"):
            with self.subTest(version=version):
                rc, out = s_client(version, "-cipher", "DEFAULT:@SECLEVEL=0")
                self.assertNotEqual(rc, 0, out)
                self.assertIn("alert protocol version", out)
        for version, shown in (("-tls1_2", "TLSv1.2"), ("-tls1_3", "TLSv1.3")):
            with self.subTest(version=version):
                rc, out = s_client(version, "-reconnect")
                self.assertEqual(rc, 0, out)
                self.assertIn("Verify return code: 0 (ok)", out)
                # Six connections, each a full handshake: no session cache, no tickets.
                self.assertEqual(out.count("New, %s, " % shown), 6, out)
                self.assertNotIn("Reused,", out)
                self.assertNotIn("TLS session ticket:", out)
                self.assertIn("Secure Renegotiation IS NOT supported"
                              if shown == "TLSv1.3" else "Secure Renegotiation IS supported", out)
                self.assertIn("Compression: NONE", out)


class RequestParserTest(HttpsDaemonCase):
    def test_every_status_of_the_parser(self):
        cases = [
            # 400
            (b"GET / HTTP/1.1\r\nX: a\x00b", 400),
            (b"get /api/v1/info HTTP/1.1\r\n\r\n", 400),
            (b" /api/v1/info HTTP/1.1\r\n\r\n", 400),
            (b"GET2 / HTTP/1.1\r\n\r\n", 400),
            (b"GET api/v1/info HTTP/1.1\r\n\r\n", 400),
            (b"GET  HTTP/1.1\r\n\r\n", 400),
            (b"GET /api/v1/info#x HTTP/1.1\r\n\r\n", 400),
            (b"GET /api/\x7f HTTP/1.1\r\n\r\n", 400),
            (b"GET /api/\xc3\xa9 HTTP/1.1\r\n\r\n", 400),
            (b"GET / FTP/1.1\r\n\r\n", 400),
            (b"GET / http/1.1\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nA: b\r\n\tc\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nNo colon\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\n: empty name\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nBad Name: v\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nBad(Name): v\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nX: a\x01b\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nX: a\x7fb\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nX: a\nY: b\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nAuthorization: a\r\nauthorization: b\r\n\r\n", 400),
            (b"GET / HTTP/1.1\r\nIf-Match: \"a\"\r\nIF-MATCH: \"b\"\r\n\r\n", 400),
            (b"POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", 400),
            (b"POST / HTTP/1.1\r\nContent-Length: 1a\r\n\r\n", 400),
            (b"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400),
            (b"POST / HTTP/1.1\r\nContent-Length: +1\r\n\r\n", 400),
            (b"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nx", 400),
            # 413
            (b"POST / HTTP/1.1\r\nContent-Length: 32769\r\n\r\n", 413),
            (b"POST / HTTP/1.1\r\nContent-Length: 1234567890\r\n\r\n", 413),
            (b"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 0000000001\r\n\r\nx", 413),
            # 414
            (b"GET /" + b"a" * 2048 + b" HTTP/1.1\r\n\r\n", 414),
            (b"GET /?" + b"q" * 1025 + b" HTTP/1.1\r\n\r\n", 414),
            # 417
            (b"POST / HTTP/1.1\r\nExpect: 200-ok\r\n\r\n", 417),
            # 431
            (b"GET / HTTP/1.1\r\nX: " + b"a" * 8200, 431),
            (b"GET / HTTP/1.1\r\n" + b"H: v\r\n" * 65 + b"\r\n", 431),
            (b"GET / HTTP/1.1\r\nAuthorization: " + b"a" * 513 + b"\r\n\r\n", 431),
            (b"GET / HTTP/1.1\r\nIf-Match: " + b"a" * 129 + b"\r\n\r\n", 431),
            (b"GET / HTTP/1.1\r\nExpect: " + b"a" * 513 + b"\r\n\r\n", 431),
            (b"GET / HTTP/1.1\r\nConnection: " + b"a" * 513 + b"\r\n\r\n", 431),
            # 501
            (b"PATCH / HTTP/1.1\r\n\r\n", 501),
            (b"PROPPATCH / HTTP/1.1\r\n\r\n", 501),
            (b"HEAD / HTTP/1.1\r\n\r\n", 501),
            (b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501),
            (b"POST / HTTP/1.1\r\ntransfer-encoding: identity\r\n\r\n", 501),
            # 505
            (b"GET / HTTP/2.0\r\n\r\n", 505),
            (b"GET / HTTP/1.2\r\n\r\n", 505),
            (b"GET / HTTP/1.1 \r\n\r\n", 505),
        ]
        texts = {400: ("Bad Request", "bad_request"), 413: ("Content Too Large",
                                                           "payload_too_large"),
                 414: ("URI Too Long", "uri_too_long"), 417: ("Expectation Failed",
                                                              "expectation_failed"),
                 431: ("Request Header Fields Too Large", "header_too_large"),
                 501: ("Not Implemented", "not_implemented"),
                 505: ("HTTP Version Not Supported", "http_version")}
        seen = self.requests_seen()
        for raw, status in cases:
            with self.subTest(raw=raw[:60], status=status):
                reason, code = texts[status]
                got = self.exchange(raw)
                self.assertEqual(len(got), 1, got)
                self.assertEqual(got[0][0], status)
                self.assertEqual(got[0][1]["connection"], "close")
                self.assertEqual(got[0][2], error_body(code, reason))
        # None of them reached the scheduler, and the network process was never replaced.
        self.assertEqual(self.requests_seen(), seen)
        self.assertEqual(len(self.net_pids()), 1, self.log())

        # At the limits the request goes through to the scheduler.
        limits = [
            b"GET /api/v1/" + b"a" * 2040 + b"?" + b"q" * 1024 + b" HTTP/1.1\r\n",
            b"GET /api/v1/info HTTP/1.1\r\n" + b"H: v\r\n" * 62,  # 64 with the two below
            b"GET /api/v1/info HTTP/1.1\r\nIf-Match: " + b"a" * 128 + b"\r\nExpect: 100-Continue"
            b"\r\nConnection: " + b"x" * 500 + b",keep-alive\r\n",
            b"PUT /api/v1/info HTTP/1.1\r\nContent-Length: 32768\r\n",
        ]
        for head in limits:
            with self.subTest(head=head[:60]):
                body = b"{" * 32768 if b"32768" in head else b""
                got = self.exchange(head + b"Authorization: " + self.bearer.encode() +
                                    b"\r\nConnection: close\r\n\r\n" + body)
                self.assertEqual(len(got), 1, got)
                self.assertNotIn(got[0][0], texts)
                self.assertNotIn(got[0][0], (401, 429, 503, 504))

    def test_pipelining_keep_alive_and_continue(self):
        with self.connect() as conn:
            # Three requests in one TLS record: all answered, in order.
            conn.sendall(self.info_request() + b"GET /api/v1/none HTTP/1.1\r\nAuthorization: " +
                         self.bearer.encode() + b"\r\n\r\n" + self.info_request())
            got = self.read_responses(conn, 3)
            self.assertEqual([g[0] for g in got], [200, 404, 200])
            self.assertTrue(all(g[1]["connection"] == "keep-alive" for g in got))
            # The connection is still usable.
            conn.sendall(self.info_request())
            self.assertEqual(self.read_responses(conn, 1)[0][0], 200)

        # HTTP/1.0: closed after the answer unless the client asks for keep-alive.
        got = self.exchange(self.info_request(b"HTTP/1.0"))
        self.assertEqual([(g[0], g[1]["connection"]) for g in got], [(200, "close")])
        with self.connect() as conn:
            conn.sendall(self.info_request(b"HTTP/1.0", b"Connection: Keep-Alive\r\n"))
            got = self.read_responses(conn, 1)
            self.assertEqual((got[0][0], got[0][1]["connection"]), (200, "keep-alive"))
            conn.sendall(self.info_request(b"HTTP/1.0", b"Connection: keep-alive\r\n"))
            self.assertEqual(self.read_responses(conn, 1)[0][0], 200)
            conn.sendall(self.info_request(b"HTTP/1.0"))
            rest = parse_responses(self.read_until_closed(conn))
            self.assertEqual([(g[0], g[1]["connection"]) for g in rest], [(200, "close")])
        # HTTP/1.1 with "close" among other items.
        got = self.exchange(self.info_request(extra=b"Connection: foo, CLOSE\r\n"))
        self.assertEqual([(g[0], g[1]["connection"]) for g in got], [(200, "close")])

        # 100-continue: the interim answer comes before the body is sent.
        with self.connect() as conn:
            conn.sendall(b"POST /api/v1/info HTTP/1.1\r\nAuthorization: " + self.bearer.encode() +
                         b"\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n")
            interim = b"HTTP/1.1 100 Continue\r\n\r\n"
            data = b""
            while len(data) < len(interim):
                chunk = conn.recv(len(interim) - len(data))
                self.assertTrue(chunk)
                data += chunk
            self.assertEqual(data, interim)
            conn.sendall(b"{}")
            got = self.read_responses(conn, 1)
            self.assertEqual(len(got), 1)
            self.assertNotIn(got[0][0], (100, 400, 504))
            # Not for a request without the header on the same connection.
            conn.sendall(self.info_request())
            self.assertEqual(self.read_responses(conn, 1)[0][0], 200)

    def test_tenth_failed_login_locks_the_address(self):
        with self.connect() as conn:
            for n in range(10):
                conn.sendall(b"GET /api/v1/info HTTP/1.1\r\nAuthorization: Bearer reader.x%d\r\n"
                             b"\r\n" % n)
                got = self.read_responses(conn, 1)
                self.assertEqual(got[0][0], 401)
            # Even a good token is refused now, without reaching the scheduler.
            seen = self.requests_seen()
            conn.sendall(self.info_request())
            got = self.read_responses(conn, 1)
            self.assertEqual((got[0][0], got[0][1]["connection"], got[0][2]),
                             (429, "keep-alive", LOCKED_BODY))
        got = self.exchange(b"GET /api/v1/info HTTP/1.1\r\nAuthorization: Bearer reader.y\r\n"
                            b"Connection: close\r\n\r\n")
        self.assertEqual([g[0] for g in got], [429])
        self.assertEqual(self.requests_seen(), seen)
        self.wait_log("WARN  vrk_sched_net: API: 127.0.0.1 locked out for 60 s after 10 failed "
                      "logins")


class ClientLimitTest(HttpsDaemonCase):
    max_clients = 1

    def test_a_second_connection_is_closed_at_once(self):
        with self.connect() as first:
            for _ in range(3):
                with self.assertRaises((ssl.SSLError, ConnectionError, OSError)):
                    with self.connect() as second:
                        second.sendall(self.info_request())
                        if not second.recv(1):
                            raise ConnectionError("closed")
            first.sendall(self.info_request())
            self.assertEqual(self.read_responses(first, 1)[0][0], 200)
        # Once the first has gone, the next one is served.
        deadline = time.monotonic() + 20
        while True:
            try:
                got = self.exchange(self.info_request(extra=b"Connection: close\r\n"))
                break
            except (ssl.SSLError, ConnectionError, OSError):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.assertEqual([g[0] for g in got], [200])


class TimeoutTest(HttpsDaemonCase):
    def test_handshake_head_and_scheduler_time_outs(self):
        """Takes about 30 s: the scheduler's answer is awaited that long."""
        # No handshake, and half a request head: both closed silently after 10 s.
        silent = socket.create_connection(("127.0.0.1", self.port), timeout=60)
        half = self.connect(timeout=60)
        half.sendall(b"GET /api/v1/info HTTP/1.1\r\nAuthor")
        # A scheduler that does not answer: 504 after 30 s.
        waiting = self.connect(timeout=60)
        t0 = time.monotonic()
        self.proc.send_signal(signal.SIGSTOP)
        try:
            # A refused token, so that the scheduler logs the request when it gets to it.
            waiting.sendall(b"GET /api/v1/info HTTP/1.1\r\nAuthorization: Bearer late.x\r\n\r\n")
            self.assertEqual(silent.recv(100), b"")
            self.assertEqual(half.recv(100), b"")
            closed = time.monotonic() - t0
            got = self.read_responses(waiting, 1)
            answered = time.monotonic() - t0
        finally:
            self.proc.send_signal(signal.SIGCONT)
        self.assertGreaterEqual(closed, 9)
        self.assertGreaterEqual(answered, 29)
        self.assertEqual([(g[0], g[1]["connection"], g[2]) for g in got],
                         [(504, "close", error_body("timeout", "vrk_sched did not answer in time"))])
        self.assertEqual(waiting.recv(100), b"")
        for s in (silent, half, waiting):
            s.close()
        # The late answer is dropped; the network process goes on serving.
        self.wait_log("vrk_sched API: GET /api/v1/info from 127.0.0.1 refused")
        got = self.exchange(self.info_request(extra=b"Connection: close\r\n"))
        self.assertEqual([g[0] for g in got], [200])
        self.assertEqual(len(self.net_pids()), 1, self.log())
        self.assertNotIn("killed", self.log())


class ReloadTest(HttpsDaemonCase):
    def test_max_clients_change_keeps_the_port_open(self):
        refused = []
        attempts = [0]
        stop = threading.Event()

        def knock():
            while not stop.is_set():
                try:
                    with socket.create_connection(("127.0.0.1", self.port), timeout=5):
                        pass
                except ConnectionRefusedError:
                    refused.append(time.monotonic())
                except OSError:
                    pass
                attempts[0] += 1
                time.sleep(0.01)

        t = threading.Thread(target=knock)
        t.start()
        try:
            time.sleep(0.5)
            self.write_config(4)
            self.wait_log("API ready", count=2)
            time.sleep(0.5)
        finally:
            stop.set()
            t.join()
        self.assertEqual(len(self.net_pids()), 2, self.log())
        self.assertGreater(attempts[0], 20)
        self.assertEqual(refused, [], "the port was closed during the reload")
        got = self.exchange(self.info_request(extra=b"Connection: close\r\n"))
        self.assertEqual([g[0] for g in got], [200])

    def test_new_certificate_is_served_after_a_reload(self):
        with self.connect() as conn:
            old = conn.getpeercert(binary_form=True)
        rc, out, err = self.sched("api-init", "--cn", "127.0.0.1", "--force", "--config",
                                  self.cfg)
        self.assertEqual(rc, 0, err)
        new_fingerprint = re.search(r"SHA-256 fingerprint: (\S+)", out).group(1)
        self.assertNotEqual(new_fingerprint, self.fingerprint)
        # Only the configuration file is watched: rewriting it brings in the new files.
        self.write_config(self.max_clients)
        self.wait_log("API ready", count=2)
        with self.connect() as conn:
            der = conn.getpeercert(binary_form=True)
            conn.sendall(self.info_request(extra=b"Connection: close\r\n"))
            self.assertEqual(parse_responses(self.read_until_closed(conn))[0][0], 200)
        self.assertNotEqual(der, old)
        self.assertEqual(":".join("%02X" % b for b in hashlib.sha256(der).digest()),
                         new_fingerprint)


if __name__ == "__main__":
    unittest.main()

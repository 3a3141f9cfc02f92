"""vrk_sched_net as vrk_sched sees it: start-up, the first message, the message rules, the ends.

Messages are built and read here byte by byte from the wire format, so these tests also pin the
codec's bytes. The process refuses root, so it runs as 'nobody' with the socket pair end as fd 3.
"""

import os
import pwd
import select
import socket
import struct
import subprocess
import threading
import time
import unittest

from vrktest import NET, base_env

USAGE = ("vrk_sched_net is started by vrk_sched itself, not by hand (usage: vrk_sched_net "
         "--ipc-fd <fd> [--listen-fd <fd>])\n")

HELLO, MAIL_CONFIG, MAIL_SEND, MAIL_RESULT, API_CONFIG, API_REQUEST, API_RESPONSE = range(1, 8)
WAIT = 10  # seconds; generous, the machine is shared


def u16(v):
    return bytes([v & 0xFF, (v >> 8) & 0xFF])


def u32(v):
    return bytes([(v >> (8 * i)) & 0xFF for i in range(4)])


def rec(tag, value):
    """One record: u16 tag, u32 length, the value (an int is sent as u32)."""
    if isinstance(value, int):
        value = u32(value)
    elif isinstance(value, str):
        value = value.encode()
    return u16(tag) + u32(len(value)) + value


def message(mtype, mid, payload=b"", magic=b"VRKS", version=1, length_fix=0):
    """Header (magic, u16 version, u16 type, u32 id, u32 payload length) and payload."""
    return magic + u16(version) + u16(mtype) + u32(mid) + u32(len(payload) + length_fix) + payload


def mail_config(port, host="127.0.0.1", recipients=("ops@example.org",), tls=0, timeout=10):
    payload = rec(10, host) + rec(11, port) + rec(12, tls) + rec(15, "sched@example.org")
    for r in recipients:
        payload += rec(16, r)
    payload += rec(18, timeout)
    return message(MAIL_CONFIG, 1, payload)


def mail_send(mail_id, subject="backup done", body="all fine\n"):
    return message(MAIL_SEND, mail_id, rec(20, subject) + rec(21, body))


def mail_result(mail_id, status, text=None):
    payload = rec(30, status) + (rec(31, text) if text is not None else b"")
    return message(MAIL_RESULT, mail_id, payload)


def api_config(max_clients=16):
    return message(API_CONFIG, 2, rec(40, "cert") + rec(41, "key") + rec(42, max_clients))


def drop_to_nobody():
    nobody = pwd.getpwnam("nobody")
    os.setgroups([])
    os.setgid(nobody.pw_gid)
    os.setuid(nobody.pw_uid)


class Net:
    """One vrk_sched_net with the scheduler's end of its socket pair in self.sock."""

    def __init__(self, args=("--ipc-fd", "3"), as_root=False):
        self.sock, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        child_fd = child.fileno()

        def prepare():
            # As vrk_sched does: the socket becomes fd 3, then the account changes.
            os.dup2(child_fd, 3)
            os.set_inheritable(3, True)
            if not as_root:
                drop_to_nobody()

        self.proc = subprocess.Popen(
            [NET, *args, "--no-log", "--no-syslog"], env=base_env(), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, close_fds=False, preexec_fn=prepare)
        child.close()
        self.err = None

    def recv(self, timeout=WAIT):
        """The next datagram; b"" when the process closed its end; fails on a time-out."""
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            raise AssertionError("no message from vrk_sched_net within %s s" % timeout)
        return self.sock.recv(70000)

    def send(self, data):
        self.sock.send(data)

    def finish(self, close=True, timeout=WAIT):
        """Closes the scheduler's end (unless told not to), waits; returns (status, stderr)."""
        if close:
            self.sock.close()
        try:
            out, err = self.proc.communicate(timeout=timeout)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            self.sock.close()
        self.err = err.decode("utf-8", "replace")
        return self.proc.returncode, self.err


def log_line(level, text):
    return " [vrk_sched_net] %-5s %s\n" % (level, text)


class StartTest(unittest.TestCase):
    def test_usage_without_ipc_fd(self):
        net = Net(args=())
        first = net.recv()
        rc, err = net.finish()
        self.assertEqual(first, b"", "nothing happens: no HELLO")
        self.assertEqual(rc, 2)
        self.assertEqual(err, USAGE)

    def test_refuses_root(self):
        net = Net(as_root=True)
        first = net.recv()
        rc, err = net.finish()
        self.assertEqual(first, b"", "no HELLO from a process that refused to run")
        self.assertEqual(rc, 2)
        self.assertIn(log_line("ERROR", "refusing to run as root: vrk_sched starts this process "
                                        "as the 'arvenna-api' account"), err)

    def test_hello_comes_first_with_the_pid(self):
        net = Net()
        first = net.recv()
        self.assertEqual(first, message(HELLO, 0, rec(1, net.proc.pid)))
        self.assertEqual(len(first), 26)
        # The HELLO is sent from inside the sandbox.
        with open("/proc/%d/status" % net.proc.pid) as f:
            status = f.read()
        self.assertIn("\nNoNewPrivs:\t1\n", status)
        self.assertIn("\nSeccomp:\t2\n", status)
        rc, err = net.finish()
        self.assertEqual((rc, err), (0, ""))


class MessageTest(unittest.TestCase):
    def setUp(self):
        self.net = Net()
        self.assertEqual(self.net.recv()[:8], b"VRKS" + u16(1) + u16(HELLO))

    def tearDown(self):
        if self.net.err is None:
            self.net.finish()

    def test_mail_send_before_mail_config_fails_and_the_process_goes_on(self):
        for mail_id in (7, 8):
            self.net.send(mail_send(mail_id))
            self.assertEqual(self.net.recv(), mail_result(mail_id, 1, "no [mail] settings received"))
        rc, err = self.net.finish()
        self.assertEqual((rc, err), (0, ""))

    def test_many_messages_in_one_go_are_all_answered(self):
        # More than one pass takes (64), all queued before the process looks.
        for mail_id in range(1, 101):
            self.net.send(mail_send(mail_id))
        for mail_id in range(1, 101):
            self.assertEqual(self.net.recv(), mail_result(mail_id, 1, "no [mail] settings received"))

    def test_api_config_without_listening_socket_is_only_a_warning(self):
        self.net.send(api_config())
        self.net.send(mail_send(3))  # its answer shows the API_CONFIG was taken
        self.assertEqual(self.net.recv(), mail_result(3, 1, "no [mail] settings received"))
        rc, err = self.net.finish()
        self.assertEqual(rc, 0)
        self.assertIn(log_line("WARN", "API settings received, but no listening socket was passed"),
                      err)

    def test_mail_config_is_logged_and_a_refused_connection_is_reported(self):
        # A bound socket that does not listen: connecting to it is refused at once.
        with socket.socket() as dead:
            dead.bind(("127.0.0.1", 0))
            port = dead.getsockname()[1]
            self.net.send(mail_config(port, recipients=("a@example.org", "b@example.org")))
            self.net.send(mail_send(5))
            got = self.net.recv()
        url = "smtp://127.0.0.1:%d" % port
        self.assertEqual(got[:12], message(MAIL_RESULT, 5)[:12])
        self.assertEqual(got[16:26], rec(30, 1))
        text = got[32:].decode()
        self.assertTrue(text.endswith("(%s)" % url), text)
        rc, err = self.net.finish()
        self.assertEqual(rc, 0)
        self.assertIn(log_line("INFO", "mail settings received (server 127.0.0.1:%d, "
                                       "2 recipient(s))" % port), err)
        self.assertIn(log_line("INFO", "mail #5: sending: backup done"), err)
        self.assertIn(log_line("ERROR", "mail #5 not sent: %s" % text), err)

    def test_mail_is_delivered(self):
        try:
            from aiosmtpd.controller import Controller
        except ImportError:
            self.skipTest("python3-aiosmtpd is not installed")
        received = []
        done = threading.Event()

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                received.append(envelope)
                done.set()
                return "250 OK"

        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        ctl = Controller(Handler(), hostname="127.0.0.1", port=port)
        ctl.start()
        try:
            self.net.send(mail_config(port))
            self.net.send(mail_send(9, subject="job nightly: DONE", body="line 1\nline 2\n"))
            self.assertEqual(self.net.recv(), mail_result(9, 0))
        finally:
            ctl.stop()
        self.assertTrue(done.is_set())
        env = received[0]
        self.assertEqual(env.mail_from, "sched@example.org")
        self.assertEqual(env.rcpt_tos, ["ops@example.org"])
        self.assertIn(b"\r\nSubject: job nightly: DONE\r\n", env.original_content)
        rc, err = self.net.finish()
        self.assertEqual(rc, 0)
        self.assertIn(log_line("INFO", "mail #9 sent"), err)


class EndTest(unittest.TestCase):
    def test_protocol_violations_end_with_1(self):
        ok_send = mail_send(1)
        cases = [
            ("bad magic", message(MAIL_SEND, 1, ok_send[16:], magic=b"VRKX"),
             "malformed message from vrk_sched"),
            ("version 2", message(MAIL_SEND, 1, ok_send[16:], version=2),
             "malformed message from vrk_sched"),
            ("length one short", message(MAIL_SEND, 1, ok_send[16:], length_fix=-1),
             "malformed message from vrk_sched"),
            ("header only 15 bytes", ok_send[:15], "malformed message from vrk_sched"),
            ("HELLO from the scheduler", message(HELLO, 0, rec(1, 1)),
             "unexpected message type 1 from vrk_sched"),
            ("API_REQUEST from the scheduler", message(API_REQUEST, 1),
             "unexpected message type 6 from vrk_sched"),
            ("type 9", message(9, 1), "unexpected message type 9 from vrk_sched"),
            ("empty MAIL_CONFIG", message(MAIL_CONFIG, 1), "MAIL_CONFIG: incomplete"),
            ("MAIL_SEND without body", message(MAIL_SEND, 1, rec(20, "s")),
             "MAIL_SEND: incomplete"),
            ("API_CONFIG max-clients 0", api_config(max_clients=0),
             "API_CONFIG: bad max-clients"),
            ("API_RESPONSE without body", message(API_RESPONSE, 1, rec(60, 200)),
             "API_RESPONSE: incomplete"),
            ("65537 bytes", message(MAIL_SEND, 1, b"x" * (65537 - 16)),
             "oversized message from vrk_sched"),
        ]
        for name, data, text in cases:
            with self.subTest(name):
                net = Net()
                self.assertNotEqual(net.recv(), b"")
                net.send(data)
                self.assertEqual(net.recv(), b"", "the process ends and closes its end")
                rc, err = net.finish(close=False)
                self.assertEqual(rc, 1)
                self.assertIn(log_line("ERROR", text), err)

    def test_scheduler_closing_its_end_stops_the_process_within_a_pass(self):
        net = Net()
        self.assertNotEqual(net.recv(), b"")
        time.sleep(0.2)  # let it settle into its wait
        start = time.monotonic()
        rc, err = net.finish(timeout=5)
        self.assertEqual((rc, err), (0, ""))
        self.assertLess(time.monotonic() - start, 5)


if __name__ == "__main__":
    unittest.main()

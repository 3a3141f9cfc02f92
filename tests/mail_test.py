"""Mail from vrk_sched end to end: mail-test and a run's notification, through vrk_sched_net to
the SMTP test server (plain and STARTTLS with a test CA), and the failure texts.

The network process runs as an unprivileged account, so everything it must read (its program,
the CA file) lives in a world-readable directory.
"""

import glob
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from vrktest import SCHED, STANDINS, TempDirCase, base_env, run

HERE = os.path.dirname(os.path.abspath(__file__))
SMTP_SERVER = os.path.join(HERE, "..", "net", "testdata", "smtp_server.py")
PYTHON = "/usr/bin/python3"
HOST = socket.gethostname() or "localhost"

# Stands in for vrk_sched_net: takes the socket and never says a word.
SILENT_NET = """#!/bin/sh
exec sleep 600
"""


def openssl(args, log):
    return subprocess.call(["/usr/bin/openssl", *args], stdout=log, stderr=log) == 0


class Server:
    """One SMTP test server; received mails land in self.dir."""

    def __init__(self, mode, root, cert=None, key=None):
        self.dir = os.path.join(root, "mail-" + mode)
        os.makedirs(self.dir)
        args = [PYTHON, SMTP_SERVER, "--mode", mode, "--dir", self.dir]
        if cert:
            args += ["--cert", cert, "--key", key]
        with open(os.path.join(root, mode + ".log"), "w") as log:
            self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=log)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("PORT "):
            self.proc.wait()
            raise unittest.SkipTest("SMTP test server did not start (status %s)"
                                    % self.proc.returncode)
        self.port = int(line.split()[1])

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait()

    def mails(self):
        """The received messages, oldest first, once their envelope files exist."""
        out = []
        for env in sorted(glob.glob(os.path.join(self.dir, "*.env"))):
            with open(env[:-4] + ".eml", "rb") as f:
                out.append(f.read().decode("utf-8", "replace"))
        return out

    def clear(self):
        for f in glob.glob(os.path.join(self.dir, "*")):
            os.unlink(f)


def plain_part(message):
    """The text/plain part of a composed mail, with LF line ends."""
    text = message.replace("\r\n", "\n")
    m = re.search(r"Content-Type: text/plain[^\n]*\n(?:[^\n]+\n)*\n(.*?)\n--=_", text, re.S)
    return m.group(1) if m else None


def subject_of(message):
    m = re.search(r"^Subject: (.*)$", message.replace("\r\n", "\n"), re.M)
    return m.group(1) if m else None


class MailCase(TempDirCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="vrk-mail-")
        os.chmod(cls.root, 0o755)
        d = cls.root + "/"
        with open(d + "server.ext", "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                    "extendedKeyUsage=serverAuth\n")
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
        with open(d + "openssl.log", "w") as log:
            ok = all(openssl(["req", "-x509", *ec, "-keyout", d + n + ".key", "-out",
                              d + n + ".pem", "-days", "2", "-subj", "/CN=" + n], log)
                     for n in ("ca", "other-ca"))
            ok = ok and openssl(["req", *ec, "-keyout", d + "server.key", "-out",
                                 d + "server.csr", "-subj", "/CN=127.0.0.1"], log)
            ok = ok and openssl(["x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem",
                                 "-CAkey", d + "ca.key", "-CAcreateserial", "-out",
                                 d + "server.pem", "-days", "2", "-extfile", d + "server.ext"],
                                log)
        if not ok:
            raise unittest.SkipTest("openssl could not make the test certificates")
        for pem in ("ca.pem", "other-ca.pem"):
            os.chmod(d + pem, 0o644)
        cls.silent_net = d + "silent_net"
        with open(cls.silent_net, "w") as f:
            f.write(SILENT_NET)
        os.chmod(cls.silent_net, 0o755)
        cls.plain = Server("plain", cls.root)
        cls.starttls = Server("starttls", cls.root, d + "server.pem", d + "server.key")

    @classmethod
    def tearDownClass(cls):
        for s in (cls.plain, cls.starttls):
            s.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        super().setUp()
        os.chmod(self.dir, 0o755)
        self.plain.clear()
        self.starttls.clear()
        self.env = base_env(TZ="UTC")
        self.env.pop("VRK_SCHED_NET_BIN", None)

    def mail_section(self, server, tls="none", ca=None, timeout=10, notify=None):
        text = ("[mail]\nsmtp-host = 127.0.0.1\nsmtp-port = %d\ntls = %s\n"
                "from = sched@example.org\nto = ops@example.org\ntimeout-seconds = %d\n"
                % (server.port, tls, timeout))
        if ca:
            text += "ca-file = %s\n" % ca
        if notify:
            text += "notify = %s\n" % notify
        return text

    def mail_test(self, cfg_text, env=None, timeout=60):
        cfg = self.write("sched.cfg", cfg_text)
        rc, out, err = self.sched("mail-test", "--config", cfg, env=env or self.env,
                                  timeout=timeout)
        return cfg, rc, out, err


class MailTestCommandTest(MailCase):
    def test_delivers_over_plain_and_starttls(self):
        cases = [
            ("plain", self.plain, "none", None),
            ("starttls with the test CA", self.starttls, "starttls", self.root + "/ca.pem"),
        ]
        for name, server, tls, ca in cases:
            with self.subTest(name):
                server.clear()
                cfg, rc, out, err = self.mail_test(self.mail_section(server, tls, ca))
                self.assertEqual((rc, out), (0, "OK\n"), err)
                # The network process got our --no-log and --no-syslog: no run-log warning.
                self.assertNotIn("vrk_runlog", err)
                mails = server.mails()
                self.assertEqual(len(mails), 1)
                self.assertEqual(subject_of(mails[0]), "[arvenna] %s: test mail" % HOST)
                self.assertEqual(plain_part(mails[0]),
                                 "This is a test mail from vrk_sched on %s.\n"
                                 "If you can read it, the [mail] settings in %s work." % (HOST, cfg))

    def test_wrong_ca_is_a_clear_error(self):
        _, rc, out, err = self.mail_test(
            self.mail_section(self.starttls, "starttls", self.root + "/other-ca.pem"))
        self.assertEqual((rc, out), (1, ""))
        last = err.strip().splitlines()[-1]
        self.assertTrue(last.startswith("error: "), err)
        self.assertIn("certificate", last)
        self.assertIn("smtp://127.0.0.1:%d" % self.starttls.port, last)
        self.assertEqual(self.starttls.mails(), [])

    def test_no_mail_section(self):
        cfg, rc, out, err = self.mail_test("[sched]\npoll-interval = 5\n")
        self.assertEqual((rc, out), (1, ""))
        self.assertEqual(err, "error: %s has no [mail] section\n" % cfg)

    def test_configuration_that_does_not_load(self):
        cfg, rc, out, err = self.mail_test("[mail]\nsmtp-port = 0\n")
        self.assertEqual((rc, out), (1, ""))
        self.assertEqual(err, "error: %s:2: 'smtp-port' must be 1..65535\n" % cfg)

    def test_silent_network_process_times_out_after_mail_timeout_plus_15_s(self):
        env = dict(self.env, VRK_SCHED_NET_BIN=self.silent_net)
        start = time.monotonic()
        _, rc, out, err = self.mail_test(self.mail_section(self.plain, timeout=1), env=env,
                                         timeout=90)
        took = time.monotonic() - start
        self.assertEqual((rc, out), (1, ""))
        self.assertTrue(err.endswith("error: no answer from the network process within 16 s\n"),
                        err)
        # 16 s of waiting, then up to 5 s for the silent child to leave before it is killed.
        self.assertGreaterEqual(took, 16)
        self.assertEqual(self.plain.mails(), [])


class NotificationTest(MailCase):
    def test_run_mails_the_report(self):
        cfg = self.write("sched.cfg", self.mail_section(self.plain) +
                         "\n[nightly]\ncommand = agent\nschedule = 0 0 1 1 *\n"
                         "args = --print hello --exit 0\nnotify = always\n")
        jobs = self.path("jobs")
        env = dict(self.env, PATH=STANDINS + os.pathsep + os.environ["PATH"])
        rc, _, err = self.sched("run", "nightly", "--config", cfg, "--queue",
                                self.path("queue.state"), "--job-log-dir", jobs, env=env)
        self.assertEqual(rc, 0, err)
        self.assertIn("vrk_sched: notification mail for job 'nightly' sent\n", err)
        mails = self.plain.mails()
        self.assertEqual(len(mails), 1)
        self.assertEqual(subject_of(mails[0]), "[arvenna] %s: job nightly DONE" % HOST)

        logs = glob.glob(os.path.join(jobs, "nightly", "*.log"))
        self.assertEqual(len(logs), 1)
        with open(logs[0]) as f:
            log = f.read()
        command = re.search(r"^argv: (.*)$", log, re.M).group(1)
        start = int(re.search(r"^start_unix: (\d+)$", log, re.M).group(1))
        finish = int(re.search(r"^finish_unix: (\d+)$", log, re.M).group(1))
        d = finish - start

        def local(t):
            return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(t))

        want = ("Job:       nightly\nHost:      %s\nResult:    DONE\nExit code: 0\n"
                "Command:   %s\nStarted:   %s\nFinished:  %s\nDuration:  %dh %02dm %02ds\n"
                "Job log:   %s\n\n--- last lines of the job log ---\n%s"
                % (HOST, command, local(start), local(finish), d // 3600, d // 60 % 60, d % 60,
                   logs[0], log))
        # The mail's text part ends without the final line break of the body.
        self.assertEqual(plain_part(mails[0]), want.rstrip("\n"))


if __name__ == "__main__":
    unittest.main()

"""The Debian package as an administrator gets it: its files, its system files checked by the
systemd tools, and the daemon started from the extracted package with the unit's command line.
Needs VRK_DEB (the .deb built by scripts/package.sh); skipped without it."""

import json
import os
import re
import shlex
import shutil
import socket
import subprocess
import time
import unittest

from vrktest import STANDINS, TempDirCase, base_env, process_gone, run

DEB = os.environ.get("VRK_DEB", "")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@unittest.skipUnless(DEB, "VRK_DEB names no package")
class PackageTest(TempDirCase):
    def setUp(self):
        super().setUp()
        self.root = self.path("root")
        # vrk_sched_net is executed as arvenna-api, which must reach the extracted programs.
        os.chmod(self.dir, 0o755)
        subprocess.run(["dpkg-deb", "-x", DEB, self.root], check=True)
        self.sched_bin = os.path.join(self.root, "usr/sbin/vrk_sched")

    def unit_path(self):
        for d in ("lib/systemd/system", "usr/lib/systemd/system"):
            p = os.path.join(self.root, d, "vrk-sched.service")
            if os.path.exists(p):
                return p
        self.fail("no vrk-sched.service in the package")

    def system_file(self, kind, name):
        for d in ("usr/lib", "lib"):
            p = os.path.join(self.root, d, kind, name)
            if os.path.exists(p):
                return p
        self.fail("no %s/%s in the package" % (kind, name))

    def test_files_and_conffile(self):
        for f in ("usr/sbin/vrk_sched", "usr/sbin/vrk_sched_net", "etc/vrk/vrk_sched.cfg",
                  "etc/logrotate.d/vrk-sched", "usr/share/man/man8/vrk_sched.8.gz",
                  "usr/share/man/man8/vrk_sched_net.8.gz",
                  "usr/share/man/man5/vrk_sched.cfg.5.gz"):
            self.assertTrue(os.path.exists(os.path.join(self.root, f)), f)
        conffiles = subprocess.run(["dpkg-deb", "--info", DEB, "conffiles"], check=True,
                                   capture_output=True, text=True).stdout.split()
        self.assertIn("/etc/vrk/vrk_sched.cfg", conffiles)
        # The example loads, schedules nothing and leaves the API off.
        rc, out, err = run([self.sched_bin, "validate", "--config",
                            os.path.join(self.root, "etc/vrk/vrk_sched.cfg"), "--no-log",
                            "--no-syslog"])
        self.assertEqual((rc, out), (0, "OK: 0 job(s)\n"), err)
        rc, out, err = run([self.sched_bin, "api-info", "--config",
                            os.path.join(self.root, "etc/vrk/vrk_sched.cfg"), "--no-log",
                            "--no-syslog"])
        self.assertEqual(rc, 0, err)
        self.assertRegex(out, r"(?m)^enabled:\s+no")

    def test_sysusers_and_tmpfiles_apply(self):
        target = self.path("target")
        os.makedirs(os.path.join(target, "etc"))
        # The base system's groups (adm) as on the machine the package is installed on.
        for f in ("passwd", "group"):
            shutil.copy(os.path.join("/etc", f), os.path.join(target, "etc", f))
        subprocess.run(["systemd-sysusers", "--root", target,
                        self.system_file("sysusers.d", "vrk-sched.conf")], check=True,
                       capture_output=True)
        with open(os.path.join(target, "etc/passwd")) as f:
            self.assertRegex(f.read(), r"(?m)^arvenna-api:x:\d+:\d+:.*:/nonexistent:"
                                       r"/usr/sbin/nologin$")
        subprocess.run(["systemd-tmpfiles", "--root", target, "--create",
                        self.system_file("tmpfiles.d", "vrk-sched.conf")], check=True,
                       capture_output=True)
        for d, mode in (("var/lib/vrk_sched", 0o700), ("var/log/vrk", 0o750),
                        ("var/log/vrk/vrk_sched-jobs", 0o750)):
            self.assertEqual(os.stat(os.path.join(target, d)).st_mode & 0o7777, mode, d)

    def test_daemon_from_the_unit_command_line(self):
        with open(self.unit_path()) as f:
            exec_start = re.search(r"(?m)^ExecStart=(.*)$", f.read()).group(1)
        argv = shlex.split(exec_start)
        self.assertEqual(argv[:2], ["/usr/sbin/vrk_sched", "daemon"])
        port = free_port()
        cfg = self.path("vrk_sched.cfg")
        with open(cfg, "w") as f:
            f.write("[sched]\npoll-interval = 1\n\n"
                    "[api]\nenabled = yes\nlisten = 127.0.0.1:%d\ncert = %s\nkey = %s\n"
                    "tokens-file = %s\n\n[soon]\ncommand = verify\nonce = %d\n"
                    % (port, self.path("api.crt"), self.path("api.key"), self.path("tokens"),
                       int(time.time()) + 2))
        env = base_env(PATH=STANDINS + os.pathsep + os.environ["PATH"],
                       VRK_STANDIN_RECORD=self.path("record"))
        env.pop("VRK_SCHED_NET_BIN", None)
        quiet = ["--no-log", "--no-syslog"]
        for args in (["api-init", "--cn", "127.0.0.1"], ["api-token", "add", "reader", "--role", "read"]):
            rc, _, err = run([self.sched_bin, *args, "--config", cfg, *quiet], env=env)
            self.assertEqual(rc, 0, err)
        # The unit's words with the package root in front of the program and the test's paths
        # in place of the system's.
        argv[0] = self.root + argv[0]
        argv[argv.index("--config") + 1] = cfg
        argv += ["--queue", self.path("queue.state"), "--job-log-dir", self.path("jobs"), *quiet]
        errlog = open(self.path("daemon.err"), "wb")
        self.addCleanup(errlog.close)
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=errlog)

        def stop():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
        self.addCleanup(stop)

        def log():
            with open(self.path("daemon.err"), errors="replace") as f:
                return f.read()
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not (
                "API ready" in log() and os.path.exists(self.path("record"))):
            time.sleep(0.2)
        self.assertIn("started network process vrk_sched_net", log())
        self.assertTrue(os.path.exists(self.path("record")), log())
        with open(self.path("tokens")) as f:
            secret = [l.split()[3] for l in f if l.startswith("reader ")][0]
        out = subprocess.run(["curl", "-sS", "--cacert", self.path("api.crt"), "-H",
                              "Authorization: Bearer reader." + secret,
                              "https://127.0.0.1:%d/api/v1/info" % port],
                             capture_output=True, text=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr + log())
        out = out.stdout
        self.assertEqual(json.loads(out)["token"], {"name": "reader", "role": "read"})
        proc.terminate()
        self.assertEqual(proc.wait(timeout=20), 0, log())
        self.assertIn("vrk_sched daemon stopping", log())


if __name__ == "__main__":
    unittest.main()

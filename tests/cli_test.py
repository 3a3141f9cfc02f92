"""Program entry of vrk_sched and vrk_sched_net: start-up order, usage, options, run log."""

import os
import re
import unittest

from vrktest import NET, SCHED, STANDINS, VERSION, BUILD, TempDirCase, base_env, run

USAGE_HEAD = "vrk_sched %s (build %s)\n\nUsage: vrk_sched daemon   --config <path>" % (VERSION, BUILD)


class EntryTest(TempDirCase):
    def test_exit_codes_and_usage(self):
        cases = [
            ([], 2),                      # no command word
            (["frobnicate"], 2),          # unknown command word
            (["--help"], 0),
            (["-h"], 0),
            (["frobnicate", "--help"], 0),  # help is looked for before the command word
            (["list", "-h"], 0),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                rc, out, err = self.sched(*args)
                self.assertEqual(rc, want)
                self.assertTrue(out.startswith(USAGE_HEAD), out[:200])

    def test_usage_defaults_sentence(self):
        rc, out, _ = self.sched("--help")
        self.assertEqual(rc, 0)
        self.assertIn("an explicit CLI flag always wins, built-in defaults are\n"
                      "30s / poll-interval / 86400s / /var/log/vrk/vrk_sched-jobs / 20.", out)
        self.assertIn("--queue defaults to\n/var/lib/vrk_sched/queue.state.", out)
        for line in [
            "       vrk_sched start    <job-name> [same options as run]\n",
            "       vrk_sched api-token list|remove <name> [--config <path>]\n",
            "                           [--background | --no-background]\n",
        ]:
            self.assertIn(line, out)

    def test_version_and_selftest_come_first(self):
        logdir = self.path("log")
        for prog, name in [(SCHED, "vrk_sched"), (NET, "vrk_sched_net")]:
            with self.subTest(prog=name):
                rc, out, err = run([prog, "list", "--version", "--log-path", logdir])
                self.assertEqual((rc, out, err), (0, "%s %s\n" % (name, VERSION), ""))
                rc, out, _ = run([prog, "--selftest", "--version"])
                self.assertEqual((rc, out), (0, "%s %s\n" % (name, VERSION)))
                rc, out, _ = run([prog, "--selftest", "--log-path", logdir])
                self.assertEqual((rc, out), (0, "%s %s: selftest ok\n" % (name, VERSION)))
        self.assertFalse(os.path.exists(logdir), "nothing is logged for --version/--selftest")

    def test_compression_libraries_only_for_the_selftest(self):
        # vrk_sched loads zstd and lz4 when the self-test runs, not at start: a broken copy
        # found first fails the self-test with the codec's message and nothing else.
        # (vrk_sched_net gets libzstd through libcurl at start anyway.)
        libdir = self.path("libs")
        os.mkdir(libdir)
        for soname, codec in [("libzstd.so.1", "zstd"), ("liblz4.so.1", "lz4")]:
            with self.subTest(codec=codec):
                path = os.path.join(libdir, soname)
                with open(path, "w") as f:
                    f.write("not a shared library\n")
                env = base_env(LD_LIBRARY_PATH=libdir)
                rc, out, err = run([SCHED, "--selftest"], env=env)
                self.assertEqual((rc, out), (1, ""))
                self.assertTrue(err.endswith(
                    "vrk_sched: selftest failed: %s round trip failed\n" % codec), err)
                rc, out, _ = run([SCHED, "--version"], env=env)
                self.assertEqual((rc, out), (0, "vrk_sched %s\n" % VERSION))
                os.unlink(path)

    def test_libcrypto_loaded_on_first_use(self):
        # vrk_sched loads libcrypto when it first calls into it: --version and a run (which
        # only wipes buffers) work with a broken copy found first; the self-test's SHA-256
        # needs it and ends the program with the loader's reason.
        libdir = self.path("libs")
        os.mkdir(libdir)
        with open(os.path.join(libdir, "libcrypto.so.3"), "w") as f:
            f.write("not a shared library\n")
        env = base_env(LD_LIBRARY_PATH=libdir)
        rc, out, _ = run([SCHED, "--version"], env=env)
        self.assertEqual((rc, out), (0, "vrk_sched %s\n" % VERSION))
        cfg = self.write("run.cfg", "[nightly]\ncommand = agent\nschedule = 0 3 * * *\n")
        env["PATH"] = STANDINS + os.pathsep + env["PATH"]
        rc, _, err = run([SCHED, "run", "nightly", "--config", cfg, "--queue",
                          self.path("queue.state"), "--job-log-dir", self.path("jobs"),
                          "--no-log", "--no-syslog"], env=env)
        self.assertEqual(rc, 0, err)
        rc, out, err = run([SCHED, "--selftest"], env=env)
        self.assertNotEqual(rc, 0)
        self.assertEqual(out, "")
        self.assertIn("fatal: cannot load libcrypto.so.3: dlopen: ", err)
        # The daemon needs it for every API request: it stops at start, not at the first one.
        rc, _, err = run([SCHED, "daemon", "--config", cfg, "--queue", self.path("queue.state"),
                          "--no-log", "--no-syslog"], env=env, timeout=20)
        self.assertNotEqual(rc, 0)
        self.assertIn("fatal: cannot load libcrypto.so.3: dlopen: ", err)
        rc, out, err = run([SCHED, "--selftest"])
        self.assertEqual((rc, out), (0, "vrk_sched %s: selftest ok\n" % VERSION))

    def test_net_usage_without_ipc_fd(self):
        rc, out, err = run([NET, "--no-syslog", "--no-log"])
        self.assertEqual(rc, 2)
        self.assertEqual(out, "")
        self.assertTrue(err.endswith(
            "vrk_sched_net is started by vrk_sched itself, not by hand (usage: vrk_sched_net "
            "--ipc-fd <fd> [--listen-fd <fd>])\n"), err)


class OptionTest(TempDirCase):
    def setUp(self):
        super().setUp()
        self.good = self.write("good.cfg", "[a]\nschedule = * * * * *\n")
        self.bad = self.write("bad.cfg", "garbage\n")

    def test_value_forms_and_first_occurrence(self):
        for args in (["--config", self.good], ["--config=" + self.good],
                     ["--config", self.good, "--config", self.bad],
                     ["--config=" + self.good, "--config", self.bad]):
            with self.subTest(args=args):
                rc, out, _ = self.sched("validate", *args)
                self.assertEqual((rc, out), (0, "OK: 1 job(s)\n"))
        rc, _, err = self.sched("validate", "--config", self.bad, "--config", self.good)
        self.assertEqual(rc, 1)
        self.assertTrue(err.startswith("error: %s:1: " % self.bad), err)

    def warnings(self, err):
        return [l.split(" WARN  ", 1)[1] for l in err.splitlines() if " WARN  " in l]

    def test_unknown_options_and_surplus_words(self):
        cases = [
            (["--frob=1"], ["unknown option '--frob=...' ignored"]),
            (["--frob", "value"], ["unknown option '--frob' ignored (with the value after it)"]),
            (["--frob"], ["unknown option '--frob' ignored"]),
            (["--frob", "--x"], ["unknown option '--frob' ignored", "unknown option '--x' ignored"]),
            (["surplus"], ["unexpected argument 'surplus' ignored"]),
            (["-", "x"], ["unexpected argument '-' ignored", "unexpected argument 'x' ignored"]),
            (["--", "--frob", "surplus"], []),
            (["--force"], ["unknown option '--force' ignored"]),      # not an option of validate
            (["--no-log=1"], ["unknown option '--no-log=...' ignored"]),  # a flag takes no value
            (["--syslog", "1", "--log-path=/tmp"], []),
        ]
        for extra, want in cases:
            with self.subTest(extra=extra):
                rc, out, err = run([SCHED, "validate", "--config", self.good, "--no-syslog",
                                    "--no-log", *extra])
                self.assertEqual((rc, out), (0, "OK: 1 job(s)\n"))
                self.assertEqual(self.warnings(err), want)

    def test_log_line_shape(self):
        rc, _, err = self.sched("validate", "--config", self.good, "--frob")
        self.assertRegex(err, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[vrk_sched\] WARN  unknown")


class RunLogTest(TempDirCase):
    def setUp(self):
        super().setUp()
        self.cfg = self.write("good.cfg", "")

    def entries(self, path):
        with open(path) as f:
            return [re.sub(r"^\S+ \[vrk_sched\] pid=\d+ ", "", l.rstrip("\n")) for l in f]

    def test_log_path_with_and_without_slash(self):
        for suffix in ("", "/"):
            with self.subTest(suffix=suffix):
                d = self.path("logs" + suffix.replace("/", "s"), "deeper")
                rc, _, _ = run([SCHED, "validate", "--config", self.cfg, "--no-syslog",
                                "--log-path", d + suffix])
                self.assertEqual(rc, 0)
                self.assertEqual(self.entries(os.path.join(d, "sched.log")),
                                 ["started", "stopped exit=0"])

    def test_exit_status_in_stop_entry(self):
        d = self.path("l")
        rc, _, _ = run([SCHED, "validate", "--config", self.path("missing.cfg"), "--no-syslog",
                        "--log-path", d])
        self.assertEqual(rc, 1)
        rc, _, _ = run([SCHED, "--no-syslog", "--log-path", d])
        self.assertEqual(rc, 2)
        self.assertEqual(self.entries(os.path.join(d, "sched.log")),
                         ["started", "stopped exit=1", "started", "stopped exit=2"])

    def test_no_log_and_masks(self):
        d = self.path("l")
        rc, _, err = run([SCHED, "validate", "--config", self.cfg, "--no-syslog", "--no-log",
                          "--log-path", d])
        self.assertEqual((rc, err), (0, ""))
        self.assertFalse(os.path.exists(d))
        cases = [
            (["--syslog", "0x3"], ""),
            (["--log=0"], ""),
            (["--log="], ""),
            (["--syslog=010"], ""),
            (["--syslog", "3x"], "warning: vrk_runlog: invalid --syslog value '3x' -- using default 1\n"),
            (["--log=-1"], "warning: vrk_runlog: invalid --log value '-1' -- using default 1\n"),
        ]
        for extra, want in cases:
            with self.subTest(extra=extra):
                rc, _, err = run([SCHED, "validate", "--config", self.cfg, "--no-syslog",
                                  "--log-path", d, *extra])
                self.assertEqual((rc, err), (0, want))
        # --log=0 wrote nothing; every other run wrote its two entries.
        self.assertEqual(len(self.entries(os.path.join(d, "sched.log"))), 2 * (len(cases) - 1))

    def test_log_dir_that_is_a_file(self):
        f = self.write("plain", "x")
        rc, _, err = run([SCHED, "validate", "--config", self.cfg, "--no-syslog",
                          "--log-path", f])
        self.assertEqual(rc, 0)
        self.assertEqual(err, "warning: vrk_runlog: could not create log directory '%s' -- "
                              "continuing without logfile\n" % f)


if __name__ == "__main__":
    unittest.main()

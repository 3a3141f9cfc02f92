"""Shared helpers for the black-box tests: where the programs are, and how to run them."""

import hashlib
import hmac
import os
import shutil
import socket
import subprocess
import tempfile
import unittest

BIN_DIR = os.environ.get("VRK_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "build", "bin"))
SCHED = os.path.join(BIN_DIR, "vrk_sched")
NET = os.path.join(BIN_DIR, "vrk_sched_net")
HERE = os.path.dirname(os.path.abspath(__file__))
STANDINS = os.path.join(HERE, "standins")
VERSION = "1.0.2-alpha028"
BUILD = "20261005-2"


def base_env(**extra):
    env = dict(os.environ)
    env.pop("NO_COLOR", None)
    # Sandboxed children cannot run LeakSanitizer (it needs ptrace).
    env["ASAN_OPTIONS"] = "detect_leaks=0"
    env.update(extra)
    return env


def run(args, env=None, timeout=60, cwd=None, stdin=subprocess.DEVNULL):
    """Runs a program; returns (exit status, stdout text, stderr text)."""
    p = subprocess.run(args, env=env or base_env(), timeout=timeout, cwd=cwd, stdin=stdin,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


class TempDirCase(unittest.TestCase):
    """A test case with a fresh temporary directory in self.dir."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vrk-test-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, text):
        p = self.path(name)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "w") as f:
            f.write(text)
        return p

    def sched(self, *args, env=None, timeout=60, log=True):
        """Runs vrk_sched with run logging kept out of system paths."""
        extra = ["--no-syslog", "--no-log"] if log else []
        return run([SCHED, *args, *extra], env=env, timeout=timeout)



def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]



def api_signed_authorization(name, secret, method, path, query, ts, nonce, body=b"", if_match=""):
    """The Authorization value of a request signed with token name: HMAC-SHA256 over
    "VRK1\n<method>\n<path>\n<query>\n<ts>\n<nonce>\n<body sha256 hex>\n<if-match>"."""
    canonical = "VRK1\n%s\n%s\n%s\n%s\n%s\n%s\n%s" % (
        method, path, query, ts, nonce, hashlib.sha256(body).hexdigest(), if_match)
    sig = hmac.new(secret.encode(), canonical.encode(), hashlib.sha256).hexdigest()
    return "VRK-HMAC-SHA256 key=%s, ts=%s, nonce=%s, sig=%s" % (name, ts, nonce, sig)


def api_response_signature(secret, nonce, status, body):
    """The X-VRK-Signature an answer to a signed request must carry."""
    text = "VRK1-R\n%s\n%d\n%s" % (nonce, status, hashlib.sha256(body).hexdigest())
    return hmac.new(secret.encode(), text.encode(), hashlib.sha256).hexdigest()

def start_with_api_tokens(case):
    """For a daemon case whose configuration has an [api] section: runs api-init, adds a read
    token "reader" and an admin token "adm" (their secrets in case.secrets), then starts the
    daemon and waits until the API is ready."""
    for args in (["api-init"], ["api-token", "add", "reader", "--role", "read"],
                 ["api-token", "add", "adm", "--role", "admin"]):
        rc, _, err = case.sched(*args, "--config", case.cfg)
        case.assertEqual(rc, 0, err)
    case.secrets = {}
    with open(case.path("tokens")) as f:
        for line in f:
            if not line.startswith("#"):
                name, _, _, secret = line.split()
                case.secrets[name] = secret
    case.start()
    case.wait_log("API ready")

def process_gone(pid):
    """True when pid has ended (vanished, or a zombie nobody has reaped yet)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


class StandinCase(TempDirCase):
    """A configuration, queue, job log root and stand-in programs on PATH that record their runs
    in self.record; processes put in self.procs are killed and reaped at the end."""

    def setUp(self):
        super().setUp()
        self.cfg = self.path("sched.cfg")
        self.queue = self.path("state", "queue.state")
        self.jobs = self.path("jobs")
        self.record = self.path("record")
        self.env = base_env(PATH=STANDINS + os.pathsep + os.environ["PATH"],
                            VRK_STANDIN_RECORD=self.record)
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()
        super().tearDown()

    def config(self, text):
        """Replaces the configuration file whole, as an editor that renames would."""
        with open(self.cfg + ".new", "w") as f:
            f.write(text)
        os.replace(self.cfg + ".new", self.cfg)

    def common(self):
        return ["--config", self.cfg, "--queue", self.queue, "--job-log-dir", self.jobs,
                "--no-syslog", "--no-log"]

    def runs(self):
        """The stand-in programs' runs so far: (program, args...) in start order."""
        if not os.path.exists(self.record):
            return []
        with open(self.record) as f:
            return [tuple(l.rstrip("\n").split("\t")) for l in f if l.strip()]


# The queue state file: fixed 172-byte little-endian entries (name, state, 24-bit runner pid,
# fingerprint, next run, last run, last finish, exit code, dependency mark).
QUEUE_ENTRY_BYTES = 172
QUEUE_NEVER = 2 ** 63 - 1
STATE_NAMES = ["PENDING", "RUNNING", "DONE", "FAILED", "DISABLED"]


def encode_entry(name, state="PENDING", pid=0, fingerprint=0, next_run=0, last_run=0,
                 last_finish=0, exit_code=-1, dependency_mark=0):
    import struct
    b = name.encode().ljust(128, b"\0")
    b += bytes([STATE_NAMES.index(state), pid & 0xFF, (pid >> 8) & 0xFF, (pid >> 16) & 0xFF])
    b += struct.pack("<IqqqiQ", fingerprint, next_run, last_run, last_finish, exit_code,
                     dependency_mark)
    assert len(b) == QUEUE_ENTRY_BYTES
    return b


def read_queue(path):
    """The queue file's entries as dicts keyed by job name (empty when the file is missing)."""
    import struct
    if not os.path.exists(path):
        return {}
    with open(path, "rb") as f:
        data = f.read()
    out = {}
    for off in range(0, len(data) - QUEUE_ENTRY_BYTES + 1, QUEUE_ENTRY_BYTES):
        e = data[off:off + QUEUE_ENTRY_BYTES]
        name = e[:128].split(b"\0", 1)[0].decode()
        fp, nxt, last, fin, code, mark = struct.unpack("<IqqqiQ", e[132:172])
        state = STATE_NAMES[e[128]] if e[128] < len(STATE_NAMES) else "?"
        out.setdefault(name, dict(state=state, pid=e[129] | e[130] << 8 | e[131] << 16,
                                  fingerprint=fp, next_run=nxt, last_run=last,
                                  last_finish=fin, exit_code=code, dependency_mark=mark))
    return out


def write_queue(path, entries):
    """Writes encoded entries (bytes from encode_entry) as the queue file."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(b"".join(entries))


def wait_until(cond, timeout=20, what="condition"):
    """Polls cond every 0.05 s; returns its last true value or raises AssertionError."""
    import time
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        v = cond()
        if v:
            return v
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)

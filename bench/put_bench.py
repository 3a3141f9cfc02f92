#!/usr/bin/python3
"""A job change through the HTTPS API end to end, run on demand (never by the tests), on
127.0.0.1 only.

The real daemon and network process serve a configuration of 256 jobs (about 46 KB,
[api] history-keep = 20). One keep-alive TLS connection sends signed admin requests:

1. PUT /api/v1/jobs/job-128 with If-Match, the config_etag of each answer going into the next
   request; two bodies take turns, so every PUT changes the file (a history copy is written and
   the history pruned to 20) and the daemon reloads it on its next pass, which is part of the
   cost of the PUT that follows;
2. floor: signed GET /api/v1/jobs/job-128 (the same authentication, snapshot and job object,
   nothing written);
3. floor: signed GET /api/v1/info (authentication and transport only);
4. floor: the file-system work of one replacement done directly from Python in a directory
   beside the configuration: write the ~33 KB temporary file, fsync, write a history copy,
   fsync, prune to 20, rename, fsync the directory.

The four run interleaved in blocks, so that a load that comes and goes hits all of them alike.
A daemon accepts at most 4096 signed requests in 600 s, so each round starts a fresh daemon.
Figures: requests per second (count over the summed wall time of its blocks), median and p99
latency, the CPU time of the daemon and the network process and the daemon's page faults per
request (CPU in clock ticks, so only large counts are precise), and how often the daemon
reloaded the file per PUT; each per round and as medians over the rounds, with the load average.

With --strace, one more daemon serves 300 PUTs under `strace -f` (the daemon only, not the
network process): system calls per PUT, and the opens, reads and fsyncs by file. With --perf,
one more daemon serves 300 PUTs under `perf record`: the daemon's flat profile.

Usage: bench/put_bench.py [build/bin] [requests per measurement] [rounds] [--strace] [--perf]
"""

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
import statistics
import subprocess
import sys
import tempfile
import time

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
flags = [a for a in sys.argv[1:] if a.startswith("--")]
args = [a for a in sys.argv[1:] if not a.startswith("--")]
bin_dir = args[0] if len(args) > 0 else os.path.join(top, "build", "bin")
count = int(args[1]) if len(args) > 1 else 1000
rounds = int(args[2]) if len(args) > 2 else 3
sched = os.path.join(bin_dir, "vrk_sched")
# The standins answer for the backup programs, should a job ever become due.
env = dict(os.environ, PATH=os.path.join(top, "tests", "standins") + os.pathsep + os.environ["PATH"],
           ASAN_OPTIONS="detect_leaks=0")

JOBS = 256
TARGET = "job-128"
BLOCKS = 10
HISTORY_KEEP = 20
TRACED_PUTS = 300
TICKS = os.sysconf("SC_CLK_TCK")
# Schedules in the small hours: nothing becomes due during a run in the daytime.
SCHEDULES = ["%d 1 * * *", "%d 2 * * 1-5", "%d 3 * * 0", "%d 4 1,15 * *", "%d 5 * * 6"]
BODIES = [
    {"command": "agent", "profile": "host-128", "schedule": "10 3 * * *",
     "args": "--verbose --exclude '/tmp/x 128' --level 3", "retention": "30d",
     "retention_class": "gold"},
    {"command": "agent", "profile": "host-128", "schedule": "40 3 * * *",
     "args": "--verbose --exclude '/tmp/x 128' --level 3", "retention": "30d",
     "retention_class": "gold"},
]
# The daemon gets at most 4096 signed requests in 600 s.
assert 3 * count + 100 < 4096, "at most 1300 requests per measurement"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def config_text(port, d):
    out = ["# vrk_sched, 256 jobs for the PUT benchmark\n",
           "[sched]\npoll-interval = 60\n\n",
           "[api]\nenabled = yes\nlisten = 127.0.0.1:%d\ncert = %s/api.crt\nkey = %s/api.key\n"
           "tokens-file = %s/tokens\nhistory-keep = %d\n" % (port, d, d, d, HISTORY_KEEP)]
    for i in range(JOBS):
        out.append("\n# host %d, nightly\n[job-%03d]\ncommand = agent\nprofile = host-%d\n"
                   "schedule = %s\nargs = --verbose --exclude '/tmp/x %d' --level 3\n"
                   "retention = 30d\nretention-class = gold\n"
                   % (i, i, i, SCHEDULES[i % len(SCHEDULES)] % (i % 60), i))
        if i % 8 == 7:
            out.append("after = job-%03d\n" % (i - 1))
    return "".join(out)


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))]


def wait_log(path, needle, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, errors="replace") as f:
            if needle in f.read():
                return
        time.sleep(0.05)
    raise SystemExit("no %r in %s" % (needle, path))


class Client:
    """One keep-alive TLS connection sending signed requests of the admin token."""

    def __init__(self, port, cafile, name, secret):
        ctx = ssl.create_default_context(cafile=cafile)
        self.conn = http.client.HTTPSConnection("127.0.0.1", port, context=ctx, timeout=30)
        self.name = name
        self.key = secret.encode()

    def request(self, method, path, body=b"", if_match=""):
        """(status, body bytes, seconds) of one request; the response signature is checked."""
        nonce = os.urandom(16).hex()
        ts = str(int(time.time()))
        canonical = "VRK1\n%s\n%s\n\n%s\n%s\n%s\n%s" % (
            method, path, ts, nonce, hashlib.sha256(body).hexdigest(), if_match)
        sig = hmac.new(self.key, canonical.encode(), hashlib.sha256).hexdigest()
        headers = {"Authorization": "VRK-HMAC-SHA256 key=%s, ts=%s, nonce=%s, sig=%s"
                   % (self.name, ts, nonce, sig)}
        if if_match:
            headers["If-Match"] = if_match
        if body:
            headers["Content-Type"] = "application/json"
        t0 = time.perf_counter()
        self.conn.request(method, path, body=body if body else None, headers=headers)
        r = self.conn.getresponse()
        data = r.read()
        t1 = time.perf_counter()
        text = "VRK1-R\n%s\n%d\n%s" % (nonce, r.status, hashlib.sha256(data).hexdigest())
        want = hmac.new(self.key, text.encode(), hashlib.sha256).hexdigest()
        if r.getheader("X-VRK-Signature") != want:
            raise SystemExit("%s %s: wrong response signature" % (method, path))
        return r.status, data, t1 - t0

    def close(self):
        self.conn.close()


class Setup:
    """The files of one benchmark: configuration, certificate, admin token."""

    def __init__(self, d):
        self.d = d
        self.cfg = d + "/sched.cfg"
        self.port = free_port()
        self.text = config_text(self.port, d)
        with open(self.cfg, "w") as f:
            f.write(self.text)
        self.common = ["--config", self.cfg, "--no-log", "--no-syslog"]
        subprocess.run([sched, "api-init", "--cn", "127.0.0.1", *self.common], check=True,
                       env=env, capture_output=True)
        subprocess.run([sched, "api-token", "add", "adm", "--role", "admin", *self.common],
                       check=True, env=env, capture_output=True)
        self.secret = None
        with open(d + "/tokens") as f:
            for line in f:
                fields = line.split()
                if not line.startswith("#") and len(fields) == 4 and fields[0] == "adm":
                    self.secret = fields[3]
        assert self.secret, "no admin token"
        self.history = d + "/state/cfg-history"

    def start(self, tag):
        """A fresh daemon on the files as they are (queue state and history kept)."""
        err_path = "%s/daemon-%s.err" % (self.d, tag)
        os.makedirs(self.d + "/state", exist_ok=True)
        daemon = subprocess.Popen([sched, "daemon", "--config", self.cfg,
                                   "--queue", self.d + "/state/queue.state",
                                   "--job-log-dir", self.d + "/jobs", "--no-log", "--no-syslog"],
                                  env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=open(err_path, "wb"))
        wait_log(err_path, "API ready")
        with open(err_path) as f:
            net_pid = int(re.findall(r"vrk_sched_net pid=(\d+)", f.read())[-1])
        return daemon, net_pid, err_path

    def client(self):
        return Client(self.port, self.d + "/api.crt", "adm", self.secret)


def stop(p):
    if p.poll() is None:
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(15)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


class Putter:
    """PUTs of the two bodies in turn, each with the config_etag of the answer before."""

    def __init__(self, client, etag):
        self.client = client
        self.etag = etag
        self.turn = 0
        self.bodies = [json.dumps(b).encode() for b in BODIES]

    def put(self):
        body = self.bodies[self.turn]
        self.turn ^= 1
        status, data, seconds = self.client.request("PUT", "/api/v1/jobs/" + TARGET, body,
                                                    self.etag)
        if status != 200:
            raise SystemExit("PUT answered %d: %s" % (status, data[:300]))
        self.etag = json.loads(data)["config_etag"]
        return seconds


def current_etag(client):
    status, data, _ = client.request("GET", "/api/v1/jobs/" + TARGET)
    if status != 200:
        raise SystemExit("GET answered %d: %s" % (status, data[:300]))
    return json.loads(data)["config_etag"]


class RawWrite:
    """The file-system work of one replacement, without parsing: temporary file, fsync, history
    copy, fsync, prune, rename, directory fsync."""

    def __init__(self, d, text):
        self.dir = d + "/raw"
        self.hist = self.dir + "/cfg-history"
        os.makedirs(self.hist, mode=0o700, exist_ok=True)
        self.path = self.dir + "/sched.cfg"
        self.texts = [text.encode(), text.replace("# host 128,", "# host 128;").encode()]
        with open(self.path, "wb") as f:
            f.write(self.texts[0])
        self.turn = 0
        self.seq = 0

    def write(self):
        t0 = time.perf_counter()
        new = self.texts[self.turn ^ 1]
        old = self.texts[self.turn]
        self.turn ^= 1
        tmp = self.path + ".api-tmp.%d" % os.getpid()
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        os.write(fd, new)
        os.fsync(fd)
        os.close(fd)
        self.seq += 1
        copy = "%s/%s-%06d.cfg" % (self.hist, time.strftime("%Y%m%dT%H%M%SZ", time.gmtime()),
                                   self.seq)
        fd = os.open(copy, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        os.write(fd, old)
        os.fsync(fd)
        os.close(fd)
        names = sorted(n for n in os.listdir(self.hist) if n.endswith(".cfg"))
        for n in names[:max(0, len(names) - HISTORY_KEEP)]:
            os.unlink(os.path.join(self.hist, n))
        os.rename(tmp, self.path)
        fd = os.open(self.dir, os.O_RDONLY | os.O_DIRECTORY)
        os.fsync(fd)
        os.close(fd)
        return time.perf_counter() - t0


def proc_stat(pid):
    """(CPU seconds, minor page faults) of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS, int(fields[7])


def summary(times, usage):
    total = sum(times)
    n = len(times)
    return {"rate": n / total, "median": statistics.median(times) * 1e3,
            "p99": percentile(times, 0.99) * 1e3, "daemon_cpu": usage[0] / n * 1e3,
            "net_cpu": usage[2] / n * 1e3, "faults": usage[1] / n}


def one_round(setup, raw, n):
    daemon, net_pid, err_path = setup.start("round")
    try:
        client = setup.client()
        putter = Putter(client, current_etag(client))
        for _ in range(20):  # warm up: TLS session, page cache, the history reaches 20
            putter.put()
            client.request("GET", "/api/v1/jobs/" + TARGET)
            raw.write()
        time.sleep(0.2)  # the last reload

        def get(path):
            status, data, seconds = client.request("GET", path)
            assert status == 200, data
            return seconds

        kinds = {"put": putter.put, "get_job": lambda: get("/api/v1/jobs/" + TARGET),
                 "get_info": lambda: get("/api/v1/info"), "raw": raw.write}
        times = {k: [] for k in kinds}
        # Daemon CPU, daemon page faults, network process CPU.
        usage = {k: [0.0, 0, 0.0] for k in kinds}
        per_block = n // BLOCKS
        for _ in range(BLOCKS):
            for kind, fn in kinds.items():
                d0, n0 = proc_stat(daemon.pid)[0], proc_stat(net_pid)[0]
                f0 = proc_stat(daemon.pid)[1]
                for _ in range(per_block):
                    times[kind].append(fn())
                if kind == "put":
                    time.sleep(0.05)  # the reload after the last PUT of the block
                d1, f1 = proc_stat(daemon.pid)
                n1 = proc_stat(net_pid)[0]
                usage[kind][0] += d1 - d0
                usage[kind][1] += f1 - f0
                usage[kind][2] += n1 - n0
        client.close()
    finally:
        stop(daemon)
    with open(err_path, errors="replace") as f:
        log = f.read()
    if "starting (" in log:
        print("  (a job ran during this round: the figures are disturbed)")
    reloads = log.count("vrk_sched: reloaded ")
    history = [x for x in os.listdir(setup.history) if x.endswith(".cfg")]
    assert len(history) == HISTORY_KEEP, "history holds %d files" % len(history)
    res = {k: summary(v, usage[k]) for k, v in times.items()}
    res["put"]["reloads"] = reloads / (len(times["put"]) + 20)
    return res


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def traced(setup, what):
    """300 PUTs with the daemon under strace or perf; prints what was found."""
    daemon, _, _ = setup.start(what)
    out = setup.d + "/" + what + ".out"
    try:
        client = setup.client()
        putter = Putter(client, current_etag(client))
        for _ in range(20):
            putter.put()
        if what == "strace":
            tracer = subprocess.Popen(["strace", "-f", "-y", "-qq", "-o", out, "-e",
                                       "trace=%file,%desc,fsync,fdatasync,getdents64",
                                       "-p", str(daemon.pid)], stderr=subprocess.DEVNULL)
        else:
            tracer = subprocess.Popen(["perf", "record", "-q", "-o", out,
                                       "-p", str(daemon.pid)], stderr=subprocess.DEVNULL)
        time.sleep(1.5)
        t0 = time.perf_counter()
        for _ in range(TRACED_PUTS):
            putter.put()
        wall = time.perf_counter() - t0
        time.sleep(0.5)  # the last reload
        tracer.send_signal(signal.SIGINT)
        tracer.wait(60)
        client.close()
    finally:
        stop(daemon)
    print("\n%d PUTs with the daemon under %s: %.1f ms each (slowed by the tracer)"
          % (TRACED_PUTS, what, wall / TRACED_PUTS * 1e3))
    if what == "strace":
        strace_report(setup, out)
    else:
        perf_report(out)


def strace_report(setup, out):
    calls = {}
    by_file = {}
    line_re = re.compile(r"^\d+\s+(\w+)\((.*)")
    for line in open(out, errors="replace"):
        m = line_re.match(line)
        if not m:
            continue
        name, rest = m.group(1), m.group(2)
        calls[name] = calls.get(name, 0) + 1
        if name == "openat":
            ret = re.search(r"= (-?\d+)", rest.rsplit(")", 1)[-1])
            pm = re.search(r'"([^"]*)"', rest)
            ok = ret is not None and not ret.group(1).startswith("-")
            if pm and ok:
                key = ("open", classify(setup, pm.group(1)))
                by_file[key] = by_file.get(key, 0) + 1
            continue
        fm = re.match(r"\d+<([^>]*)>", rest)
        if fm and name in ("read", "pread64", "write", "fsync", "fdatasync", "getdents64"):
            key = (name, classify(setup, fm.group(1)))
            by_file[key] = by_file.get(key, 0) + 1
        if name in ("rename", "renameat", "renameat2", "unlink", "unlinkat"):
            pm = re.findall(r'"([^"]*)"', rest)
            if pm:
                key = (name, classify(setup, pm[0]))
                by_file[key] = by_file.get(key, 0) + 1
    print("  system calls of the daemon per PUT (file and descriptor calls, fsync, getdents):")
    for name, c in sorted(calls.items(), key=lambda x: -x[1]):
        print("    %-12s %6.2f" % (name, c / TRACED_PUTS))
    print("  by file, per PUT:")
    for (name, what), c in sorted(by_file.items(), key=lambda x: (x[0][1], x[0][0])):
        print("    %-12s %-32s %6.2f" % (name, what, c / TRACED_PUTS))


def classify(setup, path):
    if path == setup.cfg:
        return "configuration file"
    if path.startswith(setup.cfg + ".api-tmp"):
        return "temporary file"
    if path.startswith(setup.history + "/"):
        return "history copy"
    if path == setup.history:
        return "history directory"
    if path == setup.d:
        return "configuration directory"
    if path.startswith(setup.d + "/state/queue.state"):
        return "queue state" + path[len(setup.d + "/state/queue.state"):].split(".")[0]
    if path.startswith(setup.d + "/state/"):
        return "state/" + os.path.basename(path).split(".")[0]
    if path.startswith("socket:") or path.startswith("SEQPACKET"):
        return "socket"
    if path.startswith(setup.d):
        return os.path.basename(path)
    return path if len(path) < 32 else "..." + path[-29:]


def perf_report(out):
    # A flat profile: a Release build has no frame pointers for call chains.
    res = subprocess.run(["perf", "report", "-i", out, "--no-children", "--stdio", "-q",
                          "--percent-limit", "1.5", "--sort", "dso,symbol"],
                         capture_output=True, text=True)
    print("  daemon CPU by function (own time, at least 1.5%):")
    for line in res.stdout.splitlines():
        if line.strip():
            print("   " + line.rstrip()[:110])


def show(label, x):
    line = "  %-30s %7.1f/s  median %6.2f ms  p99 %6.2f ms" % (label, x["rate"], x["median"],
                                                               x["p99"])
    if label != LABEL_RAW:
        line += "  CPU daemon %5.2f ms, net %4.2f ms, %4.0f faults" % (
            x["daemon_cpu"], x["net_cpu"], x["faults"])
    if "reloads" in x:
        line += ", %.2f reloads" % x["reloads"]
    print(line)


LABEL_RAW = "raw replacement I/O (floor)"


def main():
    d = tempfile.mkdtemp(prefix="vrk-put-bench-")
    try:
        setup = Setup(d)
        raw = RawWrite(d, setup.text)
        print("PUT /api/v1/jobs/%s into %d jobs (%d bytes), history-keep %d; %d requests per "
              "measurement, %d rounds, 1 keep-alive TLS connection; load %s"
              % (TARGET, JOBS, len(setup.text), HISTORY_KEEP, count, rounds, load()))
        names = [("put", "signed PUT job, If-Match"), ("get_job", "signed GET job (floor)"),
                 ("get_info", "signed GET info (floor)"), ("raw", LABEL_RAW)]
        results = []
        for r in range(rounds):
            res = one_round(setup, raw, count)
            results.append(res)
            print("round %d (load %s):" % (r + 1, load()))
            for key, label in names:
                show(label, res[key])
        print("median of %d rounds:" % rounds)
        med = {key: {m: statistics.median(res[key][m] for res in results)
                     for m in results[0][key]} for key, _ in names}
        for key, label in names:
            show(label, med[key])
        put = med["put"]["median"]
        for key, label in names[1:]:
            print("  PUT median / %-28s %6.2fx  (PUT - floor %.2f ms)"
                  % (label, put / med[key]["median"], put - med[key]["median"]))
        print("load after: %s" % load())
        for what in ("strace", "perf"):
            if "--" + what in flags:
                traced(setup, what)
    finally:
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Daemon measurements, run on demand (never by the tests):

1. idle cost: 256 enabled jobs, none due; resident memory and CPU time over 60 s
   (targets: under 8 MB RSS, under 0.2 s CPU per minute);
2. start latency: from a once time to the stand-in program's start, poll-interval 1
   (target: under 1.2 s).

Usage: bench/daemon_bench.py [build/bin] [idle seconds]
"""

import os
import signal
import subprocess
import sys
import tempfile
import time

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
bin_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(top, "build", "bin")
idle_seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 60
sched = os.path.join(bin_dir, "vrk_sched")
env = dict(os.environ, PATH=os.path.join(top, "tests", "standins") + os.pathsep + os.environ["PATH"])
ticks = os.sysconf("SC_CLK_TCK")


def proc_stats(pid):
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / ticks
    return rss, cpu


def daemon(d, cfg):
    return subprocess.Popen([sched, "daemon", "--config", cfg, "--queue", d + "/queue.state",
                             "--job-log-dir", d + "/jobs", "--poll-interval", "1",
                             "--no-syslog", "--no-log"], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=open(d + "/err", "wb"))


with tempfile.TemporaryDirectory() as d:
    cfg = d + "/idle.cfg"
    with open(cfg, "w") as f:
        for i in range(256):
            f.write("[job-%03d]\nschedule = 0 0 1 1 *\nargs = --print %d\n" % (i, i))
    p = daemon(d, cfg)
    time.sleep(3)
    rss0, cpu0 = proc_stats(p.pid)
    time.sleep(idle_seconds)
    rss1, cpu1 = proc_stats(p.pid)
    p.send_signal(signal.SIGTERM)
    p.wait()
    per_minute = (cpu1 - cpu0) * 60.0 / idle_seconds
    print("idle, 256 jobs: RSS %.1f MB, CPU %.3f s per minute (%.3f s over %d s)"
          % (rss1 / 1024.0, per_minute, cpu1 - cpu0, idle_seconds))

    lat = []
    for _ in range(5):
        rec = d + "/record"
        if os.path.exists(rec):
            os.remove(rec)
        once = int(time.time()) + 3
        with open(cfg, "w") as f:
            f.write("[once]\nonce = %d\nargs = --print x\n" % once)
        for name in ("queue.state",):
            if os.path.exists(d + "/" + name):
                os.remove(d + "/" + name)
        env["VRK_STANDIN_RECORD"] = rec
        p = daemon(d, cfg)
        deadline = time.time() + 15
        while not os.path.exists(rec) and time.time() < deadline:
            time.sleep(0.01)
        lat.append(os.stat(rec).st_mtime - once)
        p.send_signal(signal.SIGTERM)
        p.wait()
    print("once time to program start: " + ", ".join("%.3f s" % x for x in lat)
          + " (max %.3f s)" % max(lat))

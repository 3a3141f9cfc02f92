#!/usr/bin/python3
"""Start-up and `list` cost, end to end, run on demand (never by the tests):

1. /bin/true and `vrk_sched --version`: what starting any program, and ours, costs;
2. `list` of 256 jobs with ordinary schedules (target: under 3.5 ms);
3. `list` of 256 jobs whose schedule never matches, `0 0 31 2 *` (target: under 100 ms);
4. `list` of 256 jobs again with TZ=UTC, for comparison.

TZ is removed from the environment except in 4, as on a server. The commands run interleaved,
round after round, so that a load that comes and goes hits all of them alike; the figures are
medians with the 10th and 90th percentiles.

Usage: bench/list_bench.py [build/bin] [rounds]
"""

import os
import statistics
import sys
import tempfile
import time

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
bin_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(top, "build", "bin")
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 200
sched = os.path.join(bin_dir, "vrk_sched")

SCHEDULES = ["0 3 * * *", "*/15 * * * *", "30 2 * * 1-5", "0 0 1 * *", "15 4 * * 0",
             "0 */6 * * *", "45 23 * * 6", "0 12 1,15 * *"]


def write_config(path, schedule_of):
    with open(path, "w") as f:
        for i in range(256):
            f.write("[job-%03d]\nschedule = %s\nargs = --print %d\n" % (i, schedule_of(i), i))


def run_once(argv, env):
    """Wall time from start to end of the process and its CPU time (user and system), in ms;
    output goes to /dev/null."""
    t0 = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, env,
                         file_actions=[(os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0)])
    _, status, usage = os.wait4(pid, 0)
    t1 = time.perf_counter_ns()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: %s" % " ".join(argv))
    return (t1 - t0) / 1e6, (usage.ru_utime + usage.ru_stime) * 1e3


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))]


with tempfile.TemporaryDirectory() as d:
    normal = os.path.join(d, "normal.cfg")
    never = os.path.join(d, "never.cfg")
    write_config(normal, lambda i: SCHEDULES[i % len(SCHEDULES)])
    write_config(never, lambda i: "0 0 31 2 *")
    queue = os.path.join(d, "queue.state")  # never created: list is read-only
    env = {k: v for k, v in os.environ.items() if k != "TZ"}
    env_utc = dict(env, TZ="UTC")
    logging = ["--no-log", "--no-syslog"]
    cases = [
        ("/bin/true", ["/bin/true"], env, None),
        ("vrk_sched --version", [sched, "--version"], env, None),
        ("list, 256 jobs", [sched, "list", "--config", normal, "--queue", queue] + logging, env,
         3.5),
        ("list, 256 never-matching jobs", [sched, "list", "--config", never, "--queue", queue]
         + logging, env, 100.0),
        ("list, 256 jobs, TZ=UTC", [sched, "list", "--config", normal, "--queue", queue]
         + logging, env_utc, None),
    ]
    for _, argv, e, _ in cases:  # warm the page cache
        run_once(argv, e)
    wall = [[] for _ in cases]
    cpu = [[] for _ in cases]
    for _ in range(rounds):
        for i, (_, argv, e, _) in enumerate(cases):
            w, c = run_once(argv, e)
            wall[i].append(w)
            cpu[i].append(c)
    print("%d rounds, %s; wall time end to end, and CPU time of the process" % (rounds, sched))
    for (name, _, _, target), w, c in zip(cases, wall, cpu):
        line = "%-30s median %8.3f ms (p10 %.3f, p90 %.3f), CPU %.3f ms" % (
            name, statistics.median(w), percentile(w, 0.1), percentile(w, 0.9),
            statistics.median(c))
        if target is not None:
            line += ", target < %g ms: %s" % (
                target, "met" if statistics.median(w) < target else "NOT met")
        print(line)

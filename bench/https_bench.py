#!/usr/bin/python3
"""HTTPS API throughput, run on demand (never by the tests), on 127.0.0.1 only.

The daemon serves GET /api/v1/info to a read token; beside it, in the same run, nginx (Debian's
nginx-light, started from a temporary directory, never system-wide) serves a fixed JSON file of
the same size with the same certificate and TLS settings (one worker, session cache and tickets
off). wrk measures, each for the given seconds:

1. keep-alive requests per second with 16 connections and their p99 latency
   (targets: at least 0.5x nginx, p99 under 5 ms);
2. a new connection per request, that is a full handshake each time (target: at least 0.85x
   nginx);
3. the CPU time of both processes per request (daemon + network process against nginx's
   master + worker, each shown);
4. GET /api/v1/info at 1 connection, beside nginx at 1 connection: the peer of figure 6;
5. GET /api/v1/jobs?offset=100&limit=50 (a page of 50 jobs from a 256-job file) with 16
   keep-alive connections, beside nginx serving a fixed JSON of the same size (target: at least
   1000 requests per second);
6. GET /api/v1/info at 1 connection while a job runs (the daemon is inside the runner's wait):
   p99 under 5 ms.

Needs wrk and nginx-light (apt-get install wrk nginx-light, with service starts disabled).
Usage: bench/https_bench.py [build/bin] [seconds per measurement]
"""

import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
bin_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(top, "build", "bin")
seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
sched = os.path.join(bin_dir, "vrk_sched")
env = dict(os.environ, PATH=os.path.join(top, "tests", "standins") + os.pathsep + os.environ["PATH"],
           ASAN_OPTIONS="detect_leaks=0")
ticks = os.sysconf("SC_CLK_TCK")
WRK = shutil.which("wrk")
NGINX = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total / ticks


def wrk(url, connections, headers, duration):
    """(requests, requests per second, p99 in ms) of one wrk run."""
    args = [WRK, "-t1", "-c%d" % connections, "-d%ds" % duration, "--latency"]
    for h in headers:
        args += ["-H", h]
    out = subprocess.run(args + [url], capture_output=True, text=True, timeout=duration + 60).stdout
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)\b", out)
    scale = {"us": 0.001, "ms": 1.0, "s": 1000.0}[p99.group(2)]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if errors:
        print("  (wrk saw %s non-2xx answers)" % errors.group(1))
    return requests, rate, float(p99.group(1)) * scale


def fetch(port, cafile, token, target="/api/v1/info"):
    ctx = ssl.create_default_context(cafile=cafile)
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with ctx.wrap_socket(raw, server_hostname="127.0.0.1") as c:
            c.sendall(b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      b"Authorization: Bearer %s\r\nConnection: close\r\n\r\n"
                      % (target.encode(), token.encode()))
            data = b""
            while True:
                chunk = c.recv(65536)
                if not chunk:
                    break
                data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200"), head
    return body


def wait_log(path, needle, count=1, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, errors="replace") as f:
            if f.read().count(needle) >= count:
                return
        time.sleep(0.1)
    raise SystemExit("no %r in %s" % (needle, path))


def main():
    if WRK is None or NGINX is None:
        raise SystemExit("needs wrk and nginx (Debian packages wrk and nginx-light)")
    d = tempfile.mkdtemp(prefix="vrk-https-bench-")
    os.chmod(d, 0o755)  # nginx's worker reads the JSON file as its own user
    procs = []
    try:
        api_port, nginx_port = free_port(), free_port()
        cfg = d + "/sched.cfg"
        with open(cfg, "w") as f:
            f.write("[api]\nenabled = yes\nlisten = 127.0.0.1:%d\ncert = %s/api.crt\n"
                    "key = %s/api.key\ntokens-file = %s/tokens\nmax-clients = 64\n\n"
                    "[busy]\ncommand = agent\nschedule = 0 0 1 1 *\nargs = --sleep 3600\n"
                    % (api_port, d, d, d))
        common = ["--config", cfg, "--no-log", "--no-syslog"]
        subprocess.run([sched, "api-init", "--cn", "127.0.0.1", *common], check=True, env=env,
                       capture_output=True)
        out = subprocess.run([sched, "api-token", "add", "reader", "--role", "read", *common],
                             check=True, env=env, capture_output=True, text=True).stdout
        token = re.search(r"keep it secret\): (\S+)", out).group(1)
        err_path = d + "/daemon.err"
        daemon = subprocess.Popen([sched, "daemon", "--config", cfg, "--queue", d + "/queue.state",
                                   "--job-log-dir", d + "/jobs", "--poll-interval", "1",
                                   "--no-log", "--no-syslog"], env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=open(err_path, "wb"))
        procs.append(daemon)
        wait_log(err_path, "API ready")
        with open(err_path) as f:
            net_pid = int(re.findall(r"vrk_sched_net pid=(\d+)", f.read())[-1])

        body = fetch(api_port, d + "/api.crt", token)
        with open(d + "/info.json", "wb") as f:
            f.write(body)
        os.chmod(d + "/info.json", 0o644)
        os.makedirs(d + "/nginx")
        with open(d + "/nginx.conf", "w") as f:
            f.write("""worker_processes 1;
daemon off;
master_process on;
pid %(d)s/nginx/nginx.pid;
error_log %(d)s/nginx/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path %(d)s/nginx/body;
  proxy_temp_path %(d)s/nginx/proxy;
  fastcgi_temp_path %(d)s/nginx/fastcgi;
  uwsgi_temp_path %(d)s/nginx/uwsgi;
  scgi_temp_path %(d)s/nginx/scgi;
  keepalive_requests 100000000;
  server {
    listen 127.0.0.1:%(port)d ssl;
    ssl_certificate %(d)s/api.crt;
    ssl_certificate_key %(d)s/api.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_prefer_server_ciphers on;
    ssl_session_cache off;
    ssl_session_tickets off;
    location = /api/v1/info {
      default_type application/json;
      add_header Cache-Control no-store;
      alias %(d)s/info.json;
    }
    location = /api/v1/jobs {
      default_type application/json;
      add_header Cache-Control no-store;
      alias %(d)s/jobs.json;
    }
  }
}
""" % {"d": d, "port": nginx_port})
        nginx = subprocess.Popen([NGINX, "-p", d + "/nginx", "-c", d + "/nginx.conf"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        procs.append(nginx)
        deadline = time.monotonic() + 10
        nginx_pids = []
        while time.monotonic() < deadline and len(nginx_pids) < 2:
            time.sleep(0.1)
            kids = subprocess.run(["pgrep", "-P", str(nginx.pid)], capture_output=True,
                                  text=True).stdout.split()
            nginx_pids = [nginx.pid] + [int(k) for k in kids]
        assert len(nginx_pids) == 2, "nginx did not start its worker"
        assert len(fetch(nginx_port, d + "/api.crt", token)) == len(body)

        auth = "Authorization: Bearer " + token
        ours = "https://127.0.0.1:%d/api/v1/info" % api_port
        theirs = "https://127.0.0.1:%d/api/v1/info" % nginx_port
        print("GET /api/v1/info, %d-byte body, %d s per measurement" % (len(body), seconds))
        for name, conns, headers in (("keep-alive, 16 connections", 16, [auth]),
                                     ("new connection per request, 16 connections", 16,
                                      [auth, "Connection: close"])):
            row = {}
            for who, url, pids in (("vrk_sched", ours, [daemon.pid, net_pid]),
                                   ("nginx", theirs, nginx_pids)):
                cpu0 = [cpu_seconds([p]) for p in pids]
                requests, rate, p99 = wrk(url, conns, headers, seconds)
                cpu = [(cpu_seconds([p]) - c) / max(requests, 1) * 1e6
                       for p, c in zip(pids, cpu0)]
                row[who] = rate
                print("  %-44s %-9s %9.0f req/s  p99 %7.2f ms  CPU %6.1f us/request (%s)"
                      % (name, who, rate, p99, sum(cpu), " + ".join("%.1f" % c for c in cpu)))
            print("  %-44s ratio     %9.2fx nginx" % (name, row["vrk_sched"] / row["nginx"]))

        # The peer of the running-job figure below: 1 connection while the daemon waits in its
        # main loop, and nginx at 1 connection.
        for who, url in (("vrk_sched", ours), ("nginx", theirs)):
            requests, rate, p99 = wrk(url, 1, [auth], seconds)
            print("  %-44s %-9s %9.0f req/s  p99 %7.2f ms" % ("keep-alive, 1 connection, idle",
                                                             who, rate, p99))

        # 255 more jobs, none due; the daemon reloads the file once it has been still a moment,
        # and the snapshot cache trusts it once it is a second old.
        with open(cfg) as f:
            text = f.read()
        for i in range(255):
            text += ("\n[job-%d]\ncommand = agent\nprofile = host-%d\nschedule = %d 2 * * *\n"
                     "args = --verbose\nretention = 30d\n" % (i, i, i % 60))
        with open(cfg + ".new", "w") as f:
            f.write(text)
        os.replace(cfg + ".new", cfg)
        wait_log(err_path, "vrk_sched: reloaded")
        time.sleep(1.5)
        page = "/api/v1/jobs?offset=100&limit=50"
        jobs_body = fetch(api_port, d + "/api.crt", token, page)
        assert jobs_body.count(b'"name":"job-') == 50, jobs_body[:200]
        with open(d + "/jobs.json", "wb") as f:
            f.write(jobs_body)
        os.chmod(d + "/jobs.json", 0o644)
        assert len(fetch(nginx_port, d + "/api.crt", token, page)) == len(jobs_body)
        name = "jobs page of 50 of 256, keep-alive, 16"
        print("GET %s, %d-byte body" % (page, len(jobs_body)))
        row = {}
        for who, url, pids in (("vrk_sched", "https://127.0.0.1:%d%s" % (api_port, page),
                                [daemon.pid, net_pid]),
                               ("nginx", "https://127.0.0.1:%d%s" % (nginx_port, page),
                                nginx_pids)):
            cpu0 = [cpu_seconds([p]) for p in pids]
            requests, rate, p99 = wrk(url, 16, [auth], seconds)
            cpu = [(cpu_seconds([p]) - c) / max(requests, 1) * 1e6 for p, c in zip(pids, cpu0)]
            row[who] = rate
            print("  %-44s %-9s %9.0f req/s  p99 %7.2f ms  CPU %6.1f us/request (%s)"
                  % (name, who, rate, p99, sum(cpu), " + ".join("%.1f" % c for c in cpu)))
        print("  %-44s ratio     %9.2fx nginx" % (name, row["vrk_sched"] / row["nginx"]))

        # A job that runs for an hour: the daemon serves the API from inside the runner's wait.
        with open(cfg) as f:
            text = f.read()
        with open(cfg + ".new", "w") as f:
            f.write(text.replace("schedule = 0 0 1 1 *", "schedule = * * * * *"))
        os.replace(cfg + ".new", cfg)
        wait_log(err_path, "starting (vrk_agent)", timeout=90)
        time.sleep(1)
        requests, rate, p99 = wrk(ours, 1, [auth], seconds)
        print("  %-44s %-9s %9.0f req/s  p99 %7.2f ms" % ("keep-alive, 1 connection, job running",
                                                         "vrk_sched", rate, p99))
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(15)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()

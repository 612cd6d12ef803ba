#!/usr/bin/env python3
"""get_product_infos of the running program against nginx-light serving the same JSON.

Starts the built program in a scratch folder with the API on, takes one get_product_infos reply,
has nginx-light (one worker) answer every POST with exactly that body, and loads both with wrk
over keep-alive connections: one connection, then eight. Prints answers (status 200) per
second, the 99th latency percentile, the replies that were not 200 (the API answers 503 while
the same url is being served; they are not counted as answers) and the ratio program / nginx.

Run from the repository root after a build:  tools/bench/product_infos_bench.py [--build build]
It installs nginx-light and wrk (scripts/setup-deps.sh --bench) and re-runs itself in a network
and IPC namespace of its own when it can (root)."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

NGINX_PORT = 18080
ROUTE = "get_product_infos"


def nginx_config(folder, body):
    text = body.decode().replace("\\", "\\\\").replace("'", "\\'")
    return """worker_processes 1;
daemon off;
pid %(dir)s/nginx.pid;
error_log %(dir)s/nginx-error.log;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path %(dir)s/nginx-body;
    server {
        listen 127.0.0.1:%(port)d;
        location / {
            default_type application/json;
            return 200 '%(body)s';
        }
    }
}
""" % {"dir": folder, "port": NGINX_PORT, "body": text}


def wrk(url, connections, seconds, script):
    threads = min(connections, 4)
    out = subprocess.run(["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % seconds, "--latency",
                          "-s", script, url], check=True, capture_output=True, text=True).stdout
    done = re.search(r"(\d+) requests in ([\d.]+)(us|ms|s|m),", out)
    span = float(done.group(2)) * {"us": 1e-6, "ms": 1e-3, "s": 1.0, "m": 60.0}[done.group(3)]
    bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    refused = int(bad.group(1)) if bad else 0
    p99 = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\s*$", out, re.M)
    scale = {"us": 0.001, "ms": 1.0, "s": 1000.0}[p99.group(2)]
    # Only answers with the product information count; a 503 (url busy) is no answer.
    return (int(done.group(1)) - refused) / span, float(p99.group(1)) * scale, refused


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", help="build folder holding mouldmonitor (default: build)")
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--cycle-ms", type=int, default=500)
    args = parser.parse_args()
    # Before the namespace, which has no way out to the package registry.
    benchlib.install_bench_packages()
    benchlib.isolate()
    build = benchlib.build_dir(args.build)

    program = benchlib.Program(build, args.cycle_ms)
    program.prepare()
    program.start()
    nginx = None
    try:
        _, status, reply = benchlib.post(ROUTE, {})
        if status != 200:
            sys.exit("%s answered %d" % (ROUTE, status))
        with open(program.path("nginx.conf"), "w") as f:
            f.write(nginx_config(program.dir, reply))
        nginx = subprocess.Popen(["nginx", "-c", program.path("nginx.conf"), "-p", program.dir],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not benchlib.wait_for_port(NGINX_PORT, 10):
            sys.exit("nginx did not start; see %s" % program.path("nginx-error.log"))
        script = program.path("post.lua")
        with open(script, "w") as f:
            f.write('wrk.method = "POST"\nwrk.body = "{}"\nwrk.headers["Content-Type"] = "application/json"\n')

        print("reply of %d bytes; wrk %d s per run, nginx-light with one worker" % (len(reply), args.seconds))
        for connections in (1, 8):
            ours = wrk("http://127.0.0.1:%d/v18/http/%s" % (benchlib.API_PORT, ROUTE), connections, args.seconds, script)
            theirs = wrk("http://127.0.0.1:%d/v18/http/%s" % (NGINX_PORT, ROUTE), connections, args.seconds, script)
            print("%d connection%s: program %8.0f answers/s p99 %6.2f ms (%d not 200) | nginx %8.0f answers/s p99 %6.2f ms"
                  " | ratio %.2fx"
                  % (connections, "" if connections == 1 else "s", ours[0], ours[1], ours[2], theirs[0], theirs[1],
                     ours[0] / theirs[0]))
            time.sleep(0.5)
    finally:
        if nginx:
            nginx.terminate()
            nginx.wait(timeout=10)
        program.stop()
        shutil.rmtree(program.dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

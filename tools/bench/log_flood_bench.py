#!/usr/bin/env python3
"""How much a hostile client makes the program log, entrance by entrance.

Starts the built program in a scratch folder with the API on, then floods one entrance after
the other for SECONDS each with four senders: bad JSON and JSON repeating a name to the API
port (keep-alive connections, each request refused with 400), Modbus frames with a wrong
protocol id to port 502 (each one closes its connection) and transport garbage with a bad
Content-Length to the API port (each one closes its connection); last, valid get_product_infos
requests, whose lines are no refusals and are held only by the folder's bound. It watches the
log folder (cnt_net/workspace/log) meanwhile and prints, per entrance, the requests sent, the
bytes the program logged per second and the largest size of the folder; at the end the
folder's total.

Targets: the folder never above its bound (--log-limit-mb sets it, 256 MB without), and at most
a few kB/s of refusal lines per entrance.

Run from the repository root after a build:  tools/bench/log_flood_bench.py [--build build]
It re-runs itself in a network and IPC namespace of its own when it can (root)."""

import argparse
import json
import multiprocessing
import os
import shutil
import socket
import stat
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

MODBUS_PORT = 502
SENDERS = 4
MB = 1024 * 1024   # the program's megabyte


def request(body):
    return (b"POST /v18/http/get_product_infos HTTP/1.1\r\nContent-Type: application/json\r\n"
            b"Content-Length: %d\r\n\r\n" % len(body)) + body


def read_reply(sock, buffer):
    """Reads one reply (header and announced body) off a keep-alive connection; the rest stays
    in buffer. False when the connection ended first."""
    while b"\r\n\r\n" not in buffer:
        chunk = sock.recv(65536)
        if not chunk:
            return False, buffer
        buffer += chunk
    head, _, rest = buffer.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    while len(rest) < length:
        chunk = sock.recv(65536)
        if not chunk:
            return False, b""
        rest += chunk
    return True, rest[length:]


def keep_alive_requests(body, deadline, count):
    """Requests on one keep-alive connection, each one answered; a new connection when the
    program closes one."""
    message = request(body)
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", benchlib.API_PORT), timeout=5) as sock:
                buffer = b""
                while time.monotonic() < deadline:
                    sock.sendall(message)
                    ok, buffer = read_reply(sock, buffer)
                    if not ok:
                        break
                    with count.get_lock():
                        count.value += 1
        except OSError:
            time.sleep(0.01)


def one_shot(port, payload, deadline, count):
    """A connection per message, sent and then read until the program closes it."""
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
                sock.sendall(payload)
                while sock.recv(65536):
                    pass
            with count.get_lock():
                count.value += 1
        except OSError:
            time.sleep(0.01)


def bad_json(deadline, count):
    keep_alive_requests(b'{"starttime": "2024-05-06 00:00:00", ', deadline, count)


def repeated_name(deadline, count):
    keep_alive_requests(b'{"a": {"b": 1}, "a": {"b": 2}}', deadline, count)


def modbus_protocol(deadline, count):
    # Transaction 1, protocol id 7 (Modbus is 0), length 6, unit 1, read holding registers 0..4.
    frame = struct.pack(">HHHBBHH", 1, 7, 6, 1, 3, 0, 5)
    one_shot(MODBUS_PORT, frame, deadline, count)


def valid_requests(deadline, count):
    """Accepted requests: each one logs the service's timing line, which is no refusal."""
    keep_alive_requests(b"{}", deadline, count)


def transport_garbage(deadline, count):
    one_shot(benchlib.API_PORT, b"POST /v18/http/get_product_infos HTTP/1.1\r\nContent-Length: 12x\r\n\r\n",
             deadline, count)


ENTRANCES = [
    ("bad JSON to the API port", bad_json),
    ("repeated-name JSON to the API port", repeated_name),
    ("Modbus frames with a wrong protocol id", modbus_protocol),
    ("transport garbage, bad Content-Length", transport_garbage),
    ("valid get_product_infos (no refusal)", valid_requests),
]


class LogWatch:
    """Samples the log folder: the bytes written to each log file so far (a file removed by the
    program keeps its last size) and the largest total of the folder."""

    def __init__(self, folder):
        self.folder = folder
        self.seen = {}
        self.peak = 0
        self.lock = threading.Lock()
        self.running = False

    def sample(self):
        total = 0
        sizes = {}
        try:
            names = os.listdir(self.folder)
        except OSError:
            names = []
        for name in names:
            try:
                info = os.lstat(os.path.join(self.folder, name))
            except OSError:
                continue
            if stat.S_ISREG(info.st_mode):
                sizes[name] = info.st_size
                total += info.st_size
        with self.lock:
            for name, size in sizes.items():
                self.seen[name] = max(self.seen.get(name, 0), size)
            self.peak = max(self.peak, total)
        return total

    def written(self):
        with self.lock:
            return sum(self.seen.values())

    def run(self):
        while self.running:
            self.sample()
            time.sleep(0.1)

    def __enter__(self):
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()


def flood(function, seconds):
    count = multiprocessing.Value("q", 0)
    deadline = time.monotonic() + seconds
    senders = [multiprocessing.Process(target=function, args=(deadline, count)) for _ in range(SENDERS)]
    for sender in senders:
        sender.start()
    for sender in senders:
        sender.join()
    return count.value


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", help="build folder holding mouldmonitor (default: build)")
    parser.add_argument("--seconds", type=int, default=60, help="flood time per entrance")
    parser.add_argument("--log-limit-mb", type=int, help="bound of the log folder (MOULD_LOG_LIMIT_MB)")
    parser.add_argument("--keep", help="run in this folder and keep it")
    args = parser.parse_args()
    benchlib.isolate()
    build = benchlib.build_dir(args.build)
    if args.log_limit_mb:
        os.environ["MOULD_LOG_LIMIT_MB"] = str(args.log_limit_mb)

    program = benchlib.Program(build, 500, keep=args.keep)
    program.prepare()
    program.start()
    if not benchlib.wait_for_port(MODBUS_PORT, 10):
        program.stop()
        sys.exit("the program did not open its Modbus port")
    folder = program.path("cnt_net", "workspace", "log")
    try:
        with LogWatch(folder) as watch:
            time.sleep(1.0)
            print("%d s per entrance, %d senders each; log folder %s" % (args.seconds, SENDERS, folder))
            results = []
            for name, function in ENTRANCES:
                before = watch.written()
                started = time.monotonic()
                sent = flood(function, args.seconds)
                time.sleep(1.5)   # the last counts of left-out lines come about a second later
                watch.sample()
                elapsed = time.monotonic() - started
                logged = watch.written() - before
                results.append((name, sent, logged, elapsed))
                print("%-40s %9d sent (%7.0f/s)  log %12.0f bytes/s  folder peak so far %8.2f MB"
                      % (name, sent, sent / args.seconds, logged / elapsed, watch.peak / MB), flush=True)
            total = watch.sample()
            bound = (args.log_limit_mb or 256) * MB
            print("log folder at the end: %.2f MB, largest seen %.2f MB, bound %d MB: %s"
                  % (total / MB, watch.peak / MB, bound // MB, "never above" if watch.peak <= bound else "ABOVE"))
            print(json.dumps({"entrances": [{"entrance": n, "sent": s, "log_bytes_per_s": round(b / e)}
                                            for n, s, b, e in results],
                              "folder_end_bytes": total, "folder_peak_bytes": watch.peak, "bound_bytes": bound}))
    finally:
        program.stop()
        if not args.keep:
            shutil.rmtree(program.dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

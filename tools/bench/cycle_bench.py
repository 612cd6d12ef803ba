#!/usr/bin/env python3
"""The detection cycle's pace while the disk is busy.

Runs the built program with a short simulated cycle and no NG hold, and timestamps every
finished detection period as it reaches a listener that stands in for the companion process on
its link (127.0.0.1:10431; the listener keeps everything in memory, so it never waits for the
disk itself). Three phases, each in a fresh working directory, each measured for SECONDS:

  idle     the working directory on the real disk (inside the build folder), nothing else
  dd       the same, while a "dd if=/dev/zero of=big bs=1M count=2000 conv=fsync" loop writes
           in the same file system (the file is removed at the end of the phase)
  tmpfs    the working directory on /dev/shm

Prints per phase the gaps between periods (p50, p99, max), the periods seen and the cycles lost
(a gap of n cycles loses n - 1). Target: under the dd load, p99 within 20 ms of the tmpfs p99
and no cycle lost.

Run from the repository root after a build:  tools/bench/cycle_bench.py [--build build]
It re-runs itself in a network and IPC namespace of its own when it can (root)."""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

COMPANION_PORT = 10431
PERIOD_URL = b"/inline/bymain/detectonceinfo"
HEARTBEAT_URL = b"/inline/bymain/heartbeat"
FLAGS = {"cntserver": True, "register": True, "needokimg": False, "needvideo": False}


class CompanionListener(threading.Thread):
    """Takes the program's link on the companion port, answers heart-beats with every flag the
    link needs to send periods, and notes the arrival time of each period."""

    def __init__(self):
        super().__init__(daemon=True)
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", COMPANION_PORT))
        self.server.listen(8)
        self.server.settimeout(0.2)
        self.times = []
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            try:
                peer, _ = self.server.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self.serve, args=(peer,), daemon=True).start()

    def serve(self, peer):
        peer.settimeout(0.2)
        buffer = b""
        with peer:
            while not self.stopping.is_set():
                try:
                    chunk = peer.recv(65536)
                except socket.timeout:
                    continue
                except OSError:
                    return
                if not chunk:
                    return
                arrived = time.monotonic()
                buffer += chunk
                while True:
                    end = buffer.find(b"\r\n\r\n")
                    if end < 0:
                        break
                    head = buffer[:end].split(b"\r\n")
                    length = 0
                    uuid = b""
                    for line in head[1:]:
                        name, _, value = line.partition(b":")
                        if name.strip().lower() == b"content-length":
                            length = int(value.strip() or 0)
                        elif name.strip().lower() == b"user-agent":
                            uuid = value.strip()
                    if len(buffer) < end + 4 + length:
                        break
                    buffer = buffer[end + 4 + length:]
                    words = head[0].split(b" ")
                    url = words[1] if len(words) > 2 else b""
                    if url == PERIOD_URL:
                        self.times.append(arrived)
                    self.answer(peer, uuid, FLAGS if url == HEARTBEAT_URL else {})

    @staticmethod
    def answer(peer, uuid, result):
        body = json.dumps({"code": 0, "msg": "OK", "result": result}, separators=(",", ":")).encode()
        head = (b"HTTP/1.1 200 OK\r\nHOST: 127.0.0.1:0\r\nUser-Agent: " + uuid +
                b"\r\nContent-Type: application/json\r\nContent-Length: " + str(len(body)).encode() + b"\r\n\r\n")
        try:
            peer.sendall(head + body)
        except OSError:
            pass

    def stop(self):
        self.stopping.set()
        self.server.close()


class DiskLoad:
    """The dd loop of the phase: writes and syncs a 2000 MB file again and again in folder."""

    def __init__(self, folder, megabytes):
        self.path = os.path.join(folder, "big")
        self.megabytes = megabytes
        self.stopping = threading.Event()
        self.process = None
        self.rounds = 0
        self.thread = threading.Thread(target=self.loop, daemon=True)

    def loop(self):
        while not self.stopping.is_set():
            self.process = subprocess.Popen(["dd", "if=/dev/zero", "of=" + self.path, "bs=1M",
                                             "count=%d" % self.megabytes, "conv=fsync"],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.process.wait()
            self.rounds += 1

    def start(self):
        self.thread.start()

    def stop(self):
        self.stopping.set()
        if self.process and self.process.poll() is None:
            self.process.terminate()
        self.thread.join(timeout=120)
        try:
            os.remove(self.path)
        except OSError:
            pass


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    index = min(len(ordered) - 1, max(0, int(round(fraction * (len(ordered) - 1)))))
    return ordered[index]


def run_phase(build, listener, folder, seconds, cycle_ms, load_mb):
    """One program run in folder; returns the arrival times of the periods measured."""
    program = benchlib.Program(build, cycle_ms, keep=folder)
    os.makedirs(program.path("cnt_net"), exist_ok=True)
    with open(program.path("cnt_net", "config.json"), "w") as f:
        json.dump({"devicename": "bench", "device_workapifunc": False, "device_worknetfunc": True,
                   "device_workvideo": False}, f, indent=4)
    load = DiskLoad(os.path.dirname(folder), load_mb) if load_mb else None
    program.start()
    try:
        if not benchlib.wait_for(lambda: len(listener.times) >= 10):
            sys.exit("no detection periods reached the listener; see %s" % program.path("program.out"))
        if load:
            load.start()
            time.sleep(5)   # the first dirty pages reach the disk and the syncs begin
        began = time.monotonic()
        time.sleep(seconds)
        ended = time.monotonic()
    finally:
        if load:
            load.stop()
        program.stop()
    times = [t for t in listener.times if began <= t <= ended]
    del listener.times[:]
    return times, (load.rounds if load else 0)


def report(label, times, seconds, cycle_ms):
    gaps = [(b - a) * 1000.0 for a, b in zip(times, times[1:])]
    lost = sum(max(0, int(round(gap / cycle_ms)) - 1) for gap in gaps)
    p50, p99, worst = percentile(gaps, 0.5), percentile(gaps, 0.99), max(gaps, default=float("nan"))
    print("%-6s gap p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  periods in %d s: %4d  cycles lost %3d (%.1f %%)"
          % (label, p50, p99, worst, seconds, len(times), lost, 100.0 * lost / max(1, len(times) + lost)))
    sys.stdout.flush()
    return p99, lost


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", help="build folder holding mouldmonitor (default: build)")
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--cycle-ms", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--dd-mb", type=int, default=2000, help="size of the file the dd loop writes")
    parser.add_argument("--disk-dir", help="folder on the real disk for the working directories "
                                           "(default: the build folder)")
    args = parser.parse_args()
    benchlib.isolate()
    build = benchlib.build_dir(args.build)

    disk_root = tempfile.mkdtemp(prefix="cyclebench-", dir=args.disk_dir or build)
    shm_root = tempfile.mkdtemp(prefix="cyclebench-", dir="/dev/shm")
    listener = CompanionListener()
    listener.start()
    results = {"idle": [], "dd": [], "tmpfs": []}
    try:
        print("cycle %d ms, %d s a phase, working directories in %s and %s"
              % (args.cycle_ms, args.seconds, disk_root, shm_root))
        for round_number in range(1, args.rounds + 1):
            print("round %d" % round_number)
            for label, root, load in (("idle", disk_root, 0), ("dd", disk_root, args.dd_mb), ("tmpfs", shm_root, 0)):
                folder = os.path.join(root, "%s-%d" % (label, round_number))
                times, dd_rounds = run_phase(build, listener, folder, args.seconds, args.cycle_ms, load)
                results[label].append(report(label, times, args.seconds, args.cycle_ms))
                if load:
                    print("       (%d dd runs of %d MB finished during the phase)" % (dd_rounds, load))
                shutil.rmtree(folder, ignore_errors=True)
    finally:
        listener.stop()
        shutil.rmtree(disk_root, ignore_errors=True)
        shutil.rmtree(shm_root, ignore_errors=True)

    worst_dd_p99 = max(p99 for p99, _ in results["dd"])
    worst_tmpfs_p99 = max(p99 for p99, _ in results["tmpfs"])
    lost = sum(lost for _, lost in results["dd"])
    verdicts = [("dd p99 within 20 ms of tmpfs p99 (%.1f against %.1f ms)" % (worst_dd_p99, worst_tmpfs_p99),
                 worst_dd_p99 <= worst_tmpfs_p99 + 20.0),
                ("no cycle lost under dd (%d lost)" % lost, lost == 0)]
    for text, ok in verdicts:
        print("%-60s %s" % (text, "met" if ok else "MISSED"))
    return 0 if all(ok for _, ok in verdicts) else 1


if __name__ == "__main__":
    sys.exit(main())

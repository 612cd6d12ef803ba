#!/usr/bin/env python3
"""The detection cycle's pace while the disk is busy, against the same program on tmpfs at the
same time.

Runs the built program with a short simulated cycle and no NG hold, and timestamps every
finished detection period as it reaches a listener that stands in for the companion process on
its link (127.0.0.1:10431; the listener keeps everything in memory, so it never waits for the
disk itself). Each round has two phases; in each, two programs run side by side, each in a
network and IPC namespace of its own with its own listener: one with its working directory on
the real disk, one on /dev/shm (tmpfs), measured over the same SECONDS:

  idle     nothing else runs
  dd       a "dd if=/dev/zero of=big bs=1M count=2000 conv=fsync" loop writes in the disk
           program's file system (the file is removed at the end of the phase)

Prints per program the gaps between periods (p50, p99, max), the periods seen and the periods
lost. A period counts as lost only when it never came: the program's own count of finished
periods (get_product_infos "detect_all", asked before and after the window) against the
distinct periods (by the uuid each carries, which holds its start time) that reached the
listener; a late period is no lost one. Target, in every round: under dd, the disk program's
p99 within 20 ms of the tmpfs program's p99 of that phase, and no period lost.

Run from the repository root after a build:  tools/bench/cycle_bench.py [--build build]
As root each program gets a namespace of its own; without root the two run one after the
other."""

import argparse
import json
import os
import queue
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
        self.periods = []   # (arrival, uuid) of each period
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
                        self.periods.append((arrived, uuid.decode(errors="replace")))
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




def period_start_ms(uuid):
    """The start of a period in ms since the epoch, from its uuid ("V18#<name>@<hex ms>")."""
    try:
        return int(uuid.rpartition("@")[2], 16)
    except ValueError:
        return None


def finished_periods():
    """The program's count of finished periods, and the moment (ms since the epoch) it was
    read. The count is read on the thread that runs whole periods, so a period started before
    that moment is in it and one started after is not."""
    sent = time.time() * 1000.0
    _, status, data = benchlib.post("get_product_infos", {}, timeout=120)
    read = time.time() * 1000.0
    if status != 200:
        raise RuntimeError("get_product_infos answered %d" % status)
    return json.loads(data)["result"]["detect_all"], (sent + read) / 2.0


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def worker(args):
    """One program and its listener in the namespace the parent made; talks to the parent on
    stdin/stdout: "ready", then the window, then "result {...}"."""
    benchlib.isolate()
    build = benchlib.build_dir(args.build)
    listener = CompanionListener()
    listener.start()
    program = benchlib.Program(build, args.cycle_ms, keep=args.folder)
    os.makedirs(program.path("cnt_net"), exist_ok=True)
    # The API answers the count of finished periods; nobody subscribes, so it adds no work.
    with open(program.path("cnt_net", "config.json"), "w") as f:
        json.dump({"devicename": "bench", "device_workapifunc": True, "device_worknetfunc": True,
                   "device_workvideo": False}, f, indent=4)
    program.start()
    try:
        if not benchlib.wait_for(lambda: len(listener.times) >= 10, 60):
            sys.exit("no detection periods reached the listener; see %s" % program.path("program.out"))
        finished_before, mark_before = finished_periods()
        say("ready")
        words = sys.stdin.readline().split()
        began, ended = float(words[1]), float(words[2])
        time.sleep(max(0.0, ended - time.monotonic()))
        finished_after, mark_after = finished_periods()
        # Periods travel in order on one connection: once one that started after the second
        # count has come, every one counted before it that was sent at all has come too.
        benchlib.wait_for(lambda: any((period_start_ms(uuid) or 0) > mark_after for _, uuid in list(listener.periods)),
                          60)
    finally:
        program.stop()
        listener.stop()
    arrived = {uuid for _, uuid in listener.periods
               if mark_before < (period_start_ms(uuid) or 0) <= mark_after}
    say("result " + json.dumps({"times": [t for t in listener.times if began <= t <= ended],
                                "finished": finished_after - finished_before, "arrived": len(arrived)}))


class Worker:
    """A worker process of this script, in a network and IPC namespace of its own when it can."""

    def __init__(self, build, folder, cycle_ms, isolated):
        command = [sys.executable, os.path.abspath(__file__), "--worker", "--build", build, "--folder", folder,
                   "--cycle-ms", str(cycle_ms)]
        env = dict(os.environ)
        env.pop(benchlib.ISOLATED_FLAG, None)
        if isolated:
            command = ["unshare", "-n", "-i", "--"] + command
            env[benchlib.ISOLATED_FLAG] = "1"
        self.folder = folder
        self.lines = queue.Queue()
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                                        universal_newlines=True)
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def expect(self, word, timeout_s):
        deadline = time.monotonic() + timeout_s
        while True:
            try:
                line = self.lines.get(timeout=max(0.1, deadline - time.monotonic()))
            except queue.Empty:
                line = None
            if line is None:
                raise RuntimeError("the worker in %s stopped before \"%s\"; see %s/program.out"
                                   % (self.folder, word, self.folder))
            if line.startswith(word):
                return line[len(word):].strip()

    def send(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def measure(workers, load, seconds):
    """One window over the workers given (all at once); returns their results."""
    for w in workers:
        w.expect("ready", 120)
    warm = 0.5
    if load:
        load.start()
        warm = 5.0   # the first dirty pages reach the disk and the syncs begin
    began = time.monotonic() + warm
    ended = began + seconds
    for w in workers:
        w.send("window %f %f" % (began, ended))
    try:
        return [json.loads(w.expect("result", seconds + warm + 300)) for w in workers]
    finally:
        if load:
            load.stop()


def run_phase(build, disk_folder, shm_folder, args, load_mb, isolated):
    """The disk program and the tmpfs program over the same window (one after the other
    without namespaces). Returns (disk result, tmpfs result, dd runs)."""
    load = DiskLoad(os.path.dirname(disk_folder), load_mb) if load_mb else None
    workers = []
    try:
        if isolated:
            workers = [Worker(build, disk_folder, args.cycle_ms, True), Worker(build, shm_folder, args.cycle_ms, True)]
            disk, shm = measure(workers, load, args.seconds)
        else:
            workers = [Worker(build, disk_folder, args.cycle_ms, False)]
            disk, = measure(workers, load, args.seconds)
            workers[0].close()
            workers = [Worker(build, shm_folder, args.cycle_ms, False)]
            shm, = measure(workers, None, args.seconds)
    finally:
        for w in workers:
            w.close()
    return disk, shm, (load.rounds if load else 0)


def report(label, result, seconds):
    times = result["times"]
    gaps = [(b - a) * 1000.0 for a, b in zip(times, times[1:])]
    lost = result["finished"] - result["arrived"]
    p50, p99, worst = percentile(gaps, 0.5), percentile(gaps, 0.99), max(gaps, default=float("nan"))
    print("  %-11s gap p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  periods in %d s: %4d  finished %d, came %d, "
          "lost %d" % (label, p50, p99, worst, seconds, len(times), result["finished"], result["arrived"], lost))
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
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--folder", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args)
        return 0
    build = benchlib.build_dir(args.build)
    isolated = os.geteuid() == 0 and shutil.which("unshare") is not None
    if not isolated:
        print("note: without root and unshare the disk and tmpfs programs run one after the other", file=sys.stderr)

    disk_root = tempfile.mkdtemp(prefix="cyclebench-", dir=args.disk_dir or build)
    shm_root = tempfile.mkdtemp(prefix="cyclebench-", dir="/dev/shm")
    verdicts = []
    try:
        print("cycle %d ms, %d s a phase, working directories in %s and %s; load average %s"
              % (args.cycle_ms, args.seconds, disk_root, shm_root, " ".join(open("/proc/loadavg").read().split()[:3])))
        for round_number in range(1, args.rounds + 1):
            for label, load_mb in (("idle", 0), ("dd", args.dd_mb)):
                disk_folder = os.path.join(disk_root, "%s-%d" % (label, round_number))
                shm_folder = os.path.join(shm_root, "%s-%d" % (label, round_number))
                print("round %d, %s%s" % (round_number, label, "" if isolated else " (one after the other)"))
                disk, shm, dd_rounds = run_phase(build, disk_folder, shm_folder, args, load_mb, isolated)
                disk_p99, disk_lost = report("disk" + (" + dd" if load_mb else ""), disk, args.seconds)
                shm_p99, shm_lost = report("tmpfs", shm, args.seconds)
                if load_mb:
                    print("  (%d dd runs of %d MB finished during the phase)" % (dd_rounds, load_mb))
                    verdicts += [("round %d: dd p99 within 20 ms of tmpfs p99 (%.1f against %.1f ms)"
                                  % (round_number, disk_p99, shm_p99), disk_p99 <= shm_p99 + 20.0),
                                 ("round %d: no period lost under dd (%d lost)" % (round_number, disk_lost),
                                  disk_lost == 0)]
                shutil.rmtree(disk_folder, ignore_errors=True)
                shutil.rmtree(shm_folder, ignore_errors=True)
    finally:
        shutil.rmtree(disk_root, ignore_errors=True)
        shutil.rmtree(shm_root, ignore_errors=True)

    for text, ok in verdicts:
        print("%-66s %s" % (text, "met" if ok else "MISSED"))
    return 0 if all(ok for _, ok in verdicts) else 1


if __name__ == "__main__":
    sys.exit(main())

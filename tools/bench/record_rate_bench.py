#!/usr/bin/env python3
"""How fast the program stores the operation records the API accepts, against a plain writer.

Starts the built program with the API switched on in a scratch folder on the real disk (not
tmpfs), then CLIENTS keep-alive clients call set_clear_curcount for SECONDS (each call that is
answered 200 stands for one operation record "API: 清除计数"), while a poller asks get_records
for today about once a second and another one counts the stored rows of RECORD.db read-only.
Then a clean stop (SIGTERM, wait for the exit) and a count of the rows in RECORD.db and
RECORD/<day>.db.

The same rows are then given to a python3 sqlite3 writer in the same folder: at the pace the
program answered them (each 200 answer's time replayed into a queue; the writer commits
whatever waits in one transaction, journal as the program's, synchronous=FULL), and, for
context, all at once in batches of 1000 (how far this disk goes). Both writers' rates are the
rows stored divided by the time from the first call (or the first row) until the last row was
stored.

Prints the answers (200, 503, other), stored/answered, the two rates and their ratio, and the
get_records times. Targets: every answered record stored, program/python >= 0.5.

Run from the repository root after a build:  tools/bench/record_rate_bench.py [--build build]
It re-runs itself in a network and IPC namespace of its own when it can (root)."""

import argparse
import datetime
import http.client
import json
import os
import queue
import shutil
import sqlite3
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

REMARKS = "API: 清除计数"
TABLE = "CREATE TABLE IF NOT EXISTS RECORD (recordtime TEXT, recordpassword TEXT, remarks TEXT, recordtype TEXT)"


def stored_rows(folder):
    """Rows of the API's clearing record in RECORD.db and the day files, read-only."""
    paths = [os.path.join(folder, "RECORD.db")]
    days = os.path.join(folder, "RECORD")
    if os.path.isdir(days):
        paths += [os.path.join(days, name) for name in os.listdir(days) if name.endswith(".db")]
    total = 0
    for path in paths:
        if not os.path.exists(path):
            continue
        db = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=5)
        try:
            total += db.execute("SELECT count(*) FROM RECORD WHERE remarks = ?", (REMARKS,)).fetchone()[0]
        except sqlite3.Error:
            pass
        finally:
            db.close()
    return total


class Caller(threading.Thread):
    """One keep-alive client calling set_clear_curcount until the deadline; keeps the time of
    each 200 answer."""

    def __init__(self, deadline):
        super().__init__(daemon=True)
        self.deadline = deadline
        self.answered = []   # monotonic times of the 200 answers
        self.busy = 0
        self.other = {}

    def run(self):
        connection = None
        while time.monotonic() < self.deadline:
            try:
                if connection is None:
                    connection = http.client.HTTPConnection("127.0.0.1", benchlib.API_PORT, timeout=30)
                connection.request("POST", "/v18/http/set_clear_curcount", b"{}",
                                   {"Content-Type": "application/json"})
                response = connection.getresponse()
                response.read()
                now = time.monotonic()
                if response.status == 200:
                    self.answered.append(now)
                elif response.status == 503:
                    self.busy += 1
                else:
                    self.other[response.status] = self.other.get(response.status, 0) + 1
                if response.will_close:
                    connection.close()
                    connection = None
            except (OSError, http.client.HTTPException) as error:
                key = type(error).__name__
                self.other[key] = self.other.get(key, 0) + 1
                if connection:
                    connection.close()
                connection = None
                time.sleep(0.01)
        if connection:
            connection.close()


class StoredWatch(threading.Thread):
    """Counts the stored rows every `every` seconds and notes when the count last grew."""

    def __init__(self, folder, every=0.2):
        super().__init__(daemon=True)
        self.folder = folder
        self.every = every
        self.count = 0
        self.last_growth = None
        self.stopping = threading.Event()

    def poll(self):
        count = stored_rows(self.folder)
        if count > self.count:
            self.count = count
            self.last_growth = time.monotonic()

    def run(self):
        while not self.stopping.is_set():
            self.poll()
            self.stopping.wait(self.every)


class RecordsAsker(threading.Thread):
    """Asks get_records for today about once a second; keeps how long each answer took."""

    def __init__(self, deadline):
        super().__init__(daemon=True)
        self.deadline = deadline
        self.times = []
        self.statuses = {}

    def run(self):
        today = datetime.date.today().isoformat()
        body = {"datetime_start": today + " 00:00:00", "datetime_end": today + " 23:59:59", "recordtype": "API"}
        while time.monotonic() < self.deadline:
            try:
                seconds, status, _ = benchlib.post("get_records", body, timeout=60)
                self.statuses[status] = self.statuses.get(status, 0) + 1
                if status == 200:
                    self.times.append(seconds)
            except (OSError, http.client.HTTPException):
                self.statuses["error"] = self.statuses.get("error", 0) + 1
            time.sleep(1.0)


def row(moment):
    return (moment.strftime("%H.%M.%S"), "未登录", REMARKS, "API")


def python_paced(folder, offsets):
    """Replays the answers' times (seconds after the first call) into a queue; a writer commits
    whatever waits in one transaction. Returns (rows, seconds until the last commit, commits)."""
    path = os.path.join(folder, "paced.db")
    db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    db.execute("PRAGMA journal_mode=DELETE")
    db.execute("PRAGMA synchronous=FULL")
    db.execute(TABLE)
    waiting = queue.Queue()
    done = object()
    started = time.monotonic()

    def feed():
        # Every row whose time has come at once, then a sleep until the next one: a sleep per
        # row would make the feeder, not the writer, the slow part on a loaded machine.
        next_row = 0
        while next_row < len(offsets):
            now = time.monotonic() - started
            while next_row < len(offsets) and offsets[next_row] <= now:
                waiting.put(row(datetime.datetime.now()))
                next_row += 1
            if next_row < len(offsets):
                time.sleep(max(0.0005, offsets[next_row] - (time.monotonic() - started)))
        waiting.put(done)

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    stored = 0
    commits = 0
    last = started
    finished = False
    while not finished:
        batch = [waiting.get()]
        while True:
            try:
                batch.append(waiting.get_nowait())
            except queue.Empty:
                break
        if batch[-1] is done:
            batch.pop()
            finished = True
        if batch:
            db.execute("BEGIN")
            db.executemany("INSERT INTO RECORD VALUES (?, ?, ?, ?)", batch)
            db.execute("COMMIT")
            stored += len(batch)
            commits += 1
            last = time.monotonic()
    feeder.join()
    db.close()
    os.remove(path)
    return stored, last - started, commits


def python_at_once(folder, count, batch=1000):
    """All rows given at once, committed in batches. Returns (rows, seconds)."""
    path = os.path.join(folder, "atonce.db")
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA journal_mode=DELETE")
    db.execute("PRAGMA synchronous=FULL")
    db.execute(TABLE)
    rows = [row(datetime.datetime.now())] * count
    started = time.monotonic()
    for first in range(0, count, batch):
        db.execute("BEGIN")
        db.executemany("INSERT INTO RECORD VALUES (?, ?, ?, ?)", rows[first:first + batch])
        db.execute("COMMIT")
    elapsed = time.monotonic() - started
    db.close()
    os.remove(path)
    return count, elapsed


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", help="build folder holding mouldmonitor (default: build)")
    parser.add_argument("--seconds", type=float, default=15.0, help="how long the clients call")
    parser.add_argument("--clients", type=int, default=4, help="keep-alive clients calling at once")
    parser.add_argument("--dir", default="/var/tmp", help="folder on the real disk for the scratch folder")
    parser.add_argument("--keep", action="store_true", help="leave the scratch folder")
    args = parser.parse_args()
    benchlib.isolate()
    build = benchlib.build_dir(args.build)

    folder = tempfile.mkdtemp(prefix="recordrate-", dir=args.dir)
    program = benchlib.Program(build, 500, keep=folder)
    program.prepare()
    program.start()
    try:
        # The start-up records are no API records: the watch counts only the clearing rows.
        watch = StoredWatch(folder)
        watch.poll()
        before = watch.count
        began = time.monotonic()
        deadline = began + args.seconds
        callers = [Caller(deadline) for _ in range(args.clients)]
        asker = RecordsAsker(deadline)
        watch.start()
        for caller in callers:
            caller.start()
        asker.start()
        for caller in callers:
            caller.join()
        asker.join()
        answered_at = sorted(t for caller in callers for t in caller.answered)
        # Until the count stops growing for a while after the last answer (bounded), then stop.
        settle_until = time.monotonic() + 60
        while time.monotonic() < settle_until:
            grown = watch.last_growth
            if watch.count - before >= len(answered_at) or (grown and time.monotonic() - grown > 5):
                break
            time.sleep(0.2)
        watch.stopping.set()
        watch.join()
        last_seen = watch.last_growth
        stop_started = time.monotonic()
        program.stop()
        stop_seconds = time.monotonic() - stop_started
        stored = stored_rows(folder) - before
        if stored > watch.count - before:   # rows the stop itself stored
            last_seen = stop_started + stop_seconds
    finally:
        program.stop()

    answered = len(answered_at)
    busy = sum(caller.busy for caller in callers)
    other = {}
    for caller in callers:
        for key, value in caller.other.items():
            other[key] = other.get(key, 0) + value
    uptime = open("/proc/loadavg").read().split()[:3]
    print("%d clients for %.0f s in %s (load %s)" % (args.clients, args.seconds, folder, " ".join(uptime)))
    print("answers: 200 %d  503 %d  other %s" % (answered, busy, other or 0))
    program_seconds = (last_seen - began) if last_seen else float("nan")
    program_rate = stored / program_seconds if stored and last_seen else 0.0
    print("program: %d of %d answered records stored (%.1f %%), %.1f records/s (last stored %.2f s after the "
          "first call; the stop took %.2f s)"
          % (stored, answered, 100.0 * stored / max(1, answered), program_rate, program_seconds, stop_seconds))

    offsets = [t - began for t in answered_at]
    paced_rows, paced_seconds, commits = python_paced(folder, offsets)
    paced_rate = paced_rows / paced_seconds if paced_seconds > 0 else float("nan")
    print("python, paced like the answers: %d rows in %d commits, %.1f records/s (last stored %.2f s after "
          "the first call)" % (paced_rows, commits, paced_rate, paced_seconds))
    ceiling_rows, ceiling_seconds = python_at_once(folder, max(answered, 10000))
    print("python, all rows at once in batches of 1000: %.0f records/s (what this disk goes to)"
          % (ceiling_rows / ceiling_seconds))
    if asker.times:
        print("get_records meanwhile: %d answered, median %.3f s, max %.3f s; statuses %s"
              % (len(asker.times), percentile(asker.times, 0.5), max(asker.times), asker.statuses))
    else:
        print("get_records meanwhile: none answered 200; statuses %s" % asker.statuses)

    ratio = program_rate / paced_rate if paced_rate else float("nan")
    verdicts = [("program/python %.2f >= 0.5" % ratio, ratio >= 0.5),
                ("stored/answered %d/%d, every answered record stored" % (stored, answered), stored >= answered)]
    for text, ok in verdicts:
        print("%-50s %s" % (text, "met" if ok else "MISSED"))
    print(json.dumps({"answered_200": answered, "answered_503": busy, "other": other, "stored": stored,
                      "program_records_per_s": round(program_rate, 1), "python_paced_records_per_s": round(paced_rate, 1),
                      "python_at_once_records_per_s": round(ceiling_rows / ceiling_seconds, 1),
                      "ratio": round(ratio, 3),
                      "get_records_max_s": round(max(asker.times), 3) if asker.times else None}))
    if not args.keep:
        shutil.rmtree(folder, ignore_errors=True)
    return 0 if all(ok for _, ok in verdicts) else 1


if __name__ == "__main__":
    sys.exit(main())

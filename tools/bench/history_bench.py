#!/usr/bin/env python3
"""History queries of the HTTP API against a plain reader, with the detection cycle watched.

Makes DAYS days of history in the program's own formats (RECORD/<day>.db with ROWS operation
records a day, ResStatistics/<day>.db day archives), starts the built program on it with the API
and the companion link switched on and a short cycle, then runs get_records and
production_count_bytime over the whole span through the API and the same reads through a plain
python3 sqlite3 + json reader. Prints the speed ratios (reader time / API time), the longest gap
between two detection periods while the API worked (periods as the companion stand-in logs
them), and the program's peak memory against the reply size.

Targets: gap <= cycle + 0.5 s, get_records >= 0.5x, production_count_bytime >= 0.8x.

Run from the repository root after a build:  tools/bench/history_bench.py [--build build]
It re-runs itself in a network and IPC namespace of its own when it can (root)."""

import argparse
import datetime
import json
import os
import shutil
import sqlite3
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

RECORD_TYPES = ["info", "operate", "run", "set", "API"]
REMARKS = ["相机1检测1报警", "报警复位", "存图磁盘已经插入", "API: 清除计数", "参数修改 \"曝光\" 10→12\\n"]
LEVELS = ["未登录", "admin", "operator"]


def make_history(folder, today, days, rows_per_day, cameras=2, steps=2):
    os.makedirs(os.path.join(folder, "RECORD"), exist_ok=True)
    os.makedirs(os.path.join(folder, "ResStatistics"), exist_ok=True)
    step_seconds = max(1, 86400 // rows_per_day)
    # One day more than the span: the count query also reads the production day before it.
    for back in range(days + 1, 0, -1):
        day = today - datetime.timedelta(days=back)
        name = day.isoformat()
        db = sqlite3.connect(os.path.join(folder, "RECORD", name + ".db"))
        db.execute("CREATE TABLE RECORD (recordtime TEXT, recordpassword TEXT, remarks TEXT, recordtype TEXT)")
        rows = []
        for i in range(rows_per_day):
            second = min(86399, i * step_seconds)
            rows.append(("%02d.%02d.%02d" % (second // 3600, second // 60 % 60, second % 60),
                         LEVELS[i % len(LEVELS)], REMARKS[i % len(REMARKS)], RECORD_TYPES[i % len(RECORD_TYPES)]))
        db.executemany("INSERT INTO RECORD VALUES (?, ?, ?, ?)", rows)
        db.commit()
        db.close()

        def record(seed):
            return {"OK": [(seed + h) % 50 for h in range(24)], "NG": [(seed * h) % 3 for h in range(24)]}

        datas = []
        for camera in list(range(cameras)) + [-1]:
            data = [dict(record(back + camera + step), detectID=step) for step in list(range(steps)) + [-1]]
            datas.append({"cameraID": camera, "data": data})
        group = {"cameraCount": cameras, "datas": datas, "detectCount": steps, "groupName": "default",
                 "morningStart": 8, "nightStart": 20}
        text = json.dumps({"date": name, "groups": [group]}, indent=4, sort_keys=True)
        db = sqlite3.connect(os.path.join(folder, "ResStatistics", name + ".db"))
        db.execute("CREATE TABLE resstatistics (name TEXT NOT NULL UNIQUE, value1 TEXT, value2 TEXT)")
        db.execute("INSERT INTO resstatistics VALUES ('statisticsjson', ?, '')", (text,))
        db.commit()
        db.close()
    # The open record database holds today, as the program left it.
    db = sqlite3.connect(os.path.join(folder, "RECORD.db"))
    db.execute("CREATE TABLE RECORD (recordtime TEXT, recordpassword TEXT, remarks TEXT, recordtype TEXT)")
    db.commit()
    db.close()
    with open(os.path.join(folder, "time.txt"), "w") as f:
        f.write(today.isoformat())


def wrap(result):
    return json.dumps({"code": 0, "msg": "OK", "result": result}, ensure_ascii=False,
                      separators=(",", ":")).encode()


def read_records(folder, today, start, end):
    """get_records as a plain reader does it: day by day, file by file."""
    rows = []
    day = start.date()
    while day <= end.date():
        low = start.time() if day == start.date() else datetime.time(0, 0, 0)
        high = end.time() if day == end.date() else datetime.time(23, 59, 59)
        path = os.path.join(folder, "RECORD.db" if day == today else os.path.join("RECORD", day.isoformat() + ".db"))
        if os.path.exists(path):
            db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
            prefix = day.isoformat() + " "
            for time_text, password, remarks, kind in db.execute(
                    "SELECT recordtime, recordpassword, remarks, recordtype FROM RECORD WHERE recordtime BETWEEN ? AND ?",
                    (low.strftime("%H.%M.%S"), high.strftime("%H.%M.%S"))):
                rows.append([prefix + time_text.replace(".", ":"), password, remarks, kind])
            db.close()
        day += datetime.timedelta(days=1)
    return wrap({"record": rows})


def read_counts(folder, today, start, end, group="default", cameras=2, steps=2):
    """production_count_bytime as a plain reader does it: each day's JSON, its hours in range."""
    out = {"detect_all": [], "detect_ng": [], "detect_all_detail": [[] for _ in range(cameras)],
           "detect_ng_detail": [[] for _ in range(cameras)]}
    every = [{"detect_index_all": [], "detect_index_ng": [], "detect_index_all_detail": [[] for _ in range(cameras)],
              "detect_index_ng_detail": [[] for _ in range(cameras)]} for _ in range(steps)]

    def add(c, s, total, ng):
        if c < 0 and s < 0:
            out["detect_all"].extend(total)
            out["detect_ng"].extend(ng)
        elif s < 0:
            out["detect_all_detail"][c].extend(total)
            out["detect_ng_detail"][c].extend(ng)
        elif c < 0:
            every[s]["detect_index_all"].extend(total)
            every[s]["detect_index_ng"].extend(ng)
        else:
            every[s]["detect_index_all_detail"][c].extend(total)
            every[s]["detect_index_ng_detail"][c].extend(ng)

    day = start.date() - datetime.timedelta(days=1)
    while datetime.datetime.combine(day - datetime.timedelta(days=1), datetime.time()) < end:
        path = os.path.join(folder, "ResStatistics.db" if day == today
                            else os.path.join("ResStatistics", day.isoformat() + ".db"))
        day_start = datetime.datetime.combine(day, datetime.time(8))
        first = max(0, int((start - day_start).total_seconds()) // 3600)
        last = min(24, int((end - day_start).total_seconds()) // 3600 + 1)
        day += datetime.timedelta(days=1)
        if first >= 24 or last <= 0:
            continue
        db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
        row = db.execute("select value1 from resstatistics where name='statisticsjson'").fetchone()
        db.close()
        groups = [g for g in (json.loads(row[0]).get("groups", []) if row and row[0] else [])
                  if g.get("groupName") == group]
        if not groups:
            zeros = [0] * (last - first)
            for c in list(range(cameras)) + [-1]:
                for s in list(range(steps)) + [-1]:
                    add(c, s, zeros, zeros)
            continue
        for camera in groups[0]["datas"]:
            for record in camera["data"]:
                ng = record["NG"][first:last]
                add(camera["cameraID"], record["detectID"],
                    [a + b for a, b in zip(record["OK"][first:last], ng)], ng)
    out["every_detect"] = every
    out["device_sn"] = ""
    out["device_id"] = "bench"
    return wrap(out)


class PeriodWatch(threading.Thread):
    """Notes when each detection period reaches the companion stand-in (one "detectonceinfo" line
    in its log per period), polling the log every 5 ms."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.times = []
        self.stopping = threading.Event()

    def run(self):
        offset = 0
        pending = b""
        while not self.stopping.is_set():
            try:
                with open(self.path, "rb") as f:
                    f.seek(offset)
                    chunk = f.read()
            except OSError:
                chunk = b""
            if chunk:
                now = time.monotonic()
                offset += len(chunk)
                pending += chunk
                *lines, pending = pending.split(b"\n")
                self.times += [now for line in lines if line.startswith(b"/inline/bymain/detectonceinfo")]
            time.sleep(0.005)

    def longest_gap(self, since, until):
        times = [t for t in self.times if since <= t <= until]
        before = [t for t in self.times if t < since]
        after = [t for t in self.times if t > until]
        # The period running when the work began and the one after it ended count too.
        times = before[-1:] + times + after[:1]
        return max((b - a for a, b in zip(times, times[1:])), default=float("inf"))


def first_difference(a, b, where="result"):
    if isinstance(a, dict) and isinstance(b, dict):
        for key in sorted(set(a) | set(b)):
            if a.get(key) != b.get(key):
                return first_difference(a.get(key), b.get(key), where + "." + key)
    if isinstance(a, list) and isinstance(b, list):
        for i, (x, y) in enumerate(zip(a, b)):
            if x != y:
                return first_difference(x, y, "%s[%d]" % (where, i))
        if len(a) != len(b):
            return "%s: %d against %d entries" % (where, len(a), len(b))
    return "%s: %r against %r" % (where, a, b)


def measure(label, program, watch, route, body, reader, repeats, settled):
    api_times = []
    reader_times = []
    gap = 0.0
    peak_growth_mib = None
    reply_mib = 0.0
    for _ in range(repeats):
        program.reset_peak()
        rss_before = program.memory_kib("VmRSS")
        started = time.monotonic()
        seconds, status, data = benchlib.post(route, body)
        finished = time.monotonic()
        time.sleep(program.cycle_ms / 1000.0 * 2 + 0.3)   # the period after the work ends
        gap = max(gap, watch.longest_gap(started, finished))
        peak = program.memory_kib("VmHWM")
        growth = (peak - rss_before) / 1024.0
        peak_growth_mib = growth if peak_growth_mib is None else max(peak_growth_mib, growth)
        if status != 200:
            sys.exit("%s answered %d: %r" % (route, status, data[:200]))
        reply_mib = len(data) / 1048576.0
        api_times.append(seconds)
        started = time.perf_counter()
        expected = reader()
        reader_times.append(time.perf_counter() - started)
        answer = settled(json.loads(data)["result"])
        wanted = settled(json.loads(expected)["result"])
        answer.pop("device_sn", None)
        wanted.pop("device_sn", None)
        if answer != wanted:
            print("  warning: the API's %s differs from the reader's: %s" % (route, first_difference(answer, wanted)))
    api = min(api_times)
    plain = min(reader_times)
    print("%-24s API %.3f s  reader %.3f s  ratio %.2fx  reply %.1f MiB  peak growth %.1f MiB (%.1fx reply)"
          "  longest period gap %.2f s"
          % (label, api, plain, plain / api, reply_mib, peak_growth_mib, peak_growth_mib / max(reply_mib, 1e-9), gap))
    return plain / api, gap


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", help="build folder holding mouldmonitor (default: build)")
    parser.add_argument("--days", type=int, default=400)
    parser.add_argument("--rows", type=int, default=2010)
    parser.add_argument("--cycle-ms", type=int, default=500)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--keep", help="make the history in this folder and leave it there")
    args = parser.parse_args()
    benchlib.isolate()
    build = benchlib.build_dir(args.build)

    program = benchlib.Program(build, args.cycle_ms, companion=True, keep=args.keep)
    today = datetime.date.today()
    print("making %d days of history (%d records a day) in %s" % (args.days, args.rows, program.dir))
    make_history(program.dir, today, args.days, args.rows)
    program.prepare()
    watch = PeriodWatch(program.path("cnt_net", "zuzad_evurevi", "companion.log"))
    watch.start()
    program.start()
    try:
        if not benchlib.wait_for(lambda: len(watch.times) >= 6):
            sys.exit("no detection periods reached the companion stand-in")
        idle = [b - a for a, b in zip(watch.times, watch.times[1:])]
        print("idle: longest period gap %.2f s with a %d ms cycle" % (max(idle), args.cycle_ms))

        start = datetime.datetime.combine(today - datetime.timedelta(days=args.days), datetime.time(0, 0, 0))
        end = datetime.datetime.combine(today, datetime.time(23, 59, 59))
        span = {"datetime_start": start.strftime("%Y-%m-%d %H:%M:%S"),
                "datetime_end": end.strftime("%Y-%m-%d %H:%M:%S")}
        counts = {"starttime": span["datetime_start"], "finishtime": span["datetime_end"]}
        # Today's rows and hours change while the program runs: only the finished days are compared.
        today_text = today.isoformat()
        today_slots = min(24, max(0, int((end - datetime.datetime.combine(today, datetime.time(8))).total_seconds())
                                  // 3600 + 1))

        def settled_records(result):
            result["record"] = [row for row in result["record"] if not row[0].startswith(today_text)]
            return result

        def settled_counts(result):
            def cut(value):
                if isinstance(value, list) and value and isinstance(value[0], list):
                    return [cut(sub) for sub in value]
                return value[:len(value) - today_slots] if isinstance(value, list) else value
            for key in ("detect_all", "detect_ng", "detect_all_detail", "detect_ng_detail"):
                result[key] = cut(result[key])
            result["every_detect"] = [{key: cut(value) for key, value in every.items()}
                                      for every in result["every_detect"]]
            return result

        records_ratio, records_gap = measure(
            "get_records", program, watch, "get_records", span,
            lambda: read_records(program.dir, today, start, end), args.repeats, settled_records)
        counts_ratio, counts_gap = measure(
            "production_count_bytime", program, watch, "production_count_bytime", counts,
            lambda: read_counts(program.dir, today, start, end), args.repeats, settled_counts)
    finally:
        watch.stopping.set()
        program.stop()
        if not args.keep:
            shutil.rmtree(program.dir, ignore_errors=True)

    limit = args.cycle_ms / 1000.0 + 0.5
    verdicts = [("period gap <= %.1f s" % limit, max(records_gap, counts_gap) <= limit),
                ("get_records >= 0.5x", records_ratio >= 0.5),
                ("production_count_bytime >= 0.8x", counts_ratio >= 0.8)]
    for text, ok in verdicts:
        print("%-36s %s" % (text, "met" if ok else "MISSED"))
    return 0 if all(ok for _, ok in verdicts) else 1


if __name__ == "__main__":
    sys.exit(main())

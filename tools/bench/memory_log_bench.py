#!/usr/bin/env python3
"""What hostile clients make the program hold in memory and write to its log.

Three parts, each against the built program started afresh in a scratch folder with the API on
(choose with --parts, all by default):

  readers  DAYS days of history with ROWS records a day; CONNECTIONS connections each ask
           get_records for the whole span, ask again after each 503, and never read a 200
           reply beyond its status line, for SECONDS; meanwhile a poller asks
           get_product_infos every 100 ms on a connection of its own. Prints the program's
           peak RSS growth, the growth 10 s after the clients closed, and the poller's failures
           and worst latency. Targets: at most 400 MB at the peak, 60 MB after.
  floods   five floods of FLOOD_SECONDS with four senders each: an unknown url (keep-alive),
           valid get_product_infos (keep-alive), bad JSON from a new source address per
           connection, Modbus frames with a wrong protocol id from a new source address per
           connection (port 502), and 33 addresses registering 8 subscriptions each on ports
           where nothing listens, followed by 10 s of the program's 200 ms cycle pushing to
           them. Prints the log bytes per second of each (and the "[POST_2_APP] ERROR NO
           CONNECTED" lines per second of the last). Target: at most 20 kB/s per flood.
  shapes   JSON bodies at the largest size the program still takes (from 8 MiB halved until
           the answer is no refusal for size, then narrowed to within 5 %): arrays nested 1000
           deep (one body, then eight at once), "[[[[[[[[1]]]]]]]]," repeated, '{"a":1},'
           repeated; a small body is sent many times at once (up to 64, some 256 KiB in all), so
           that what it costs rises above the resident size's own wandering. Prints the peak RSS
           growth beyond that of as many cheap bodies of the same size (one string each) as a
           multiple of the bodies, and the growth 5 s after, each on a fresh program. Targets: at
           most 10x at the peak, 5 MB after.

Run from the repository root after a build:  tools/bench/memory_log_bench.py [--build build]
It re-runs itself in a network and IPC namespace of its own when it can (root): the floods
need it for their source addresses and port 502."""

import argparse
import datetime
import http.client
import json
import multiprocessing
import os
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

MB = 1000 * 1000
MIB = 1024 * 1024
MODBUS_PORT = 502
SENDERS = 4


def mib(mb):
    """A target given in MB, in the MiB that /proc counts in."""
    return mb * MB / MIB


def settle_rss(program, seconds):
    time.sleep(seconds)
    return program.memory_kib("VmRSS") / 1024.0


class Poller(threading.Thread):
    """get_product_infos every 100 ms on a keep-alive connection of its own."""

    def __init__(self, deadline):
        super().__init__(daemon=True)
        self.deadline = deadline
        self.answered = 0
        self.failures = 0
        self.worst = 0.0

    def run(self):
        connection = None
        while time.monotonic() < self.deadline:
            started = time.monotonic()
            try:
                if connection is None:
                    connection = http.client.HTTPConnection("127.0.0.1", benchlib.API_PORT, timeout=30)
                connection.request("POST", "/v18/http/get_product_infos", b"{}", {"Content-Type": "application/json"})
                response = connection.getresponse()
                response.read()
                if response.status == 200:
                    self.answered += 1
                else:
                    self.failures += 1
            except (OSError, http.client.HTTPException):
                self.failures += 1
                if connection:
                    connection.close()
                connection = None
            self.worst = max(self.worst, time.monotonic() - started)
            time.sleep(max(0.0, 0.1 - (time.monotonic() - started)))
        if connection:
            connection.close()


class GreedyClient(threading.Thread):
    """Asks get_records for the whole span until a reply other than 503 begins, reads its
    status line and nothing more, and holds the connection until the deadline."""

    def __init__(self, request, deadline):
        super().__init__(daemon=True)
        self.request = request
        self.deadline = deadline
        self.busy = 0
        self.held = 0
        self.errors = 0
        self.sock = None

    def run(self):
        while time.monotonic() < self.deadline and not self.held:
            try:
                if self.sock is None:
                    self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                    # A small window: the reply stays with the program, not in this kernel.
                    self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                    self.sock.settimeout(max(0.1, self.deadline - time.monotonic()))
                    self.sock.connect(("127.0.0.1", benchlib.API_PORT))
                self.sock.sendall(self.request)
                buffer = b""
                while b"\r\n" not in buffer:
                    chunk = self.sock.recv(64)
                    if not chunk:
                        raise ConnectionResetError()
                    buffer += chunk
                if b" 503 " in buffer.split(b"\r\n", 1)[0]:
                    self.busy += 1
                    status, _, rest = benchlib.read_reply(self.sock, buffer)
                    if status is None or rest:
                        raise ConnectionResetError()
                    time.sleep(0.1)
                    continue
                self.held += 1
            except (OSError, ValueError):
                self.errors += 1
                if self.sock:
                    self.sock.close()
                self.sock = None
                time.sleep(0.1)
        while time.monotonic() < self.deadline:
            time.sleep(0.2)

    def close(self):
        if self.sock:
            self.sock.close()
            self.sock = None


def part_readers(build, args):
    program = benchlib.Program(build, 500)
    today = datetime.date.today()
    print("readers: making %d days of history (%d records a day) in %s" % (args.days, args.rows, program.dir), flush=True)
    made = time.monotonic()
    benchlib.make_history(program.dir, today, args.days, args.rows)
    print("         made in %.0f s" % (time.monotonic() - made), flush=True)
    program.prepare()
    program.start()
    try:
        start = datetime.datetime.combine(today - datetime.timedelta(days=args.days), datetime.time(0, 0, 0))
        end = datetime.datetime.combine(today, datetime.time(23, 59, 59))
        body = json.dumps({"datetime_start": start.strftime("%Y-%m-%d %H:%M:%S"),
                           "datetime_end": end.strftime("%Y-%m-%d %H:%M:%S")}).encode()
        request = benchlib.raw_request("get_records", body)
        before = settle_rss(program, 1.0)
        program.reset_peak()
        deadline = time.monotonic() + args.seconds
        clients = [GreedyClient(request, deadline) for _ in range(args.connections)]
        poller = Poller(deadline)
        with benchlib.MemoryWatch(program) as memory:
            poller.start()
            for client in clients:
                client.start()
            for client in clients:
                client.join()
            poller.join()
            for client in clients:
                client.close()
            closed = time.monotonic()
            time.sleep(max(0.0, closed + 10.0 - time.monotonic()))
        peak = max(memory.peak_kib, program.memory_kib("VmHWM")) / 1024.0
        after = program.memory_kib("VmRSS") / 1024.0
    finally:
        program.stop()
        shutil.rmtree(program.dir, ignore_errors=True)
    held = sum(client.held for client in clients)
    busy = sum(client.busy for client in clients)
    errors = sum(client.errors for client in clients)
    print("readers: %d connections for %d s: %d replies begun and never read, %d answers 503, %d connection errors"
          % (args.connections, args.seconds, held, busy, errors))
    print("         RSS %.1f MiB before, peak growth %.1f MiB, growth 10 s after the clients closed %.1f MiB"
          % (before, peak - before, after - before))
    print("         poller: %d answered, %d failed, worst latency %.3f s"
          % (poller.answered, poller.failures, poller.worst), flush=True)
    return [("readers: peak growth %.0f MiB <= 400 MB" % (peak - before), peak - before <= mib(400)),
            ("readers: growth after %.0f MiB <= 60 MB" % (after - before), after - before <= mib(60)),
            ("readers: poller answered throughout (%d failed)" % poller.failures, poller.failures == 0)]


# The floods: each function runs in one of four sender processes until the deadline.

def keep_alive(route, body, deadline, count):
    message = benchlib.raw_request(route, body)
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", benchlib.API_PORT), timeout=5) as sock:
                rest = b""
                while time.monotonic() < deadline:
                    sock.sendall(message)
                    status, _, rest = benchlib.read_reply(sock, rest)
                    if status is None:
                        break
                    with count.get_lock():
                        count.value += 1
        except OSError:
            time.sleep(0.01)


def unknown_url(deadline, count, sender):
    keep_alive("nowhere", b"{}", deadline, count)


def valid_requests(deadline, count, sender):
    keep_alive("get_product_infos", b"{}", deadline, count)


def from_new_addresses(port, payload, deadline, count, sender, read_all):
    index = 0
    while time.monotonic() < deadline:
        index += 1
        try:
            with benchlib.connect_from(benchlib.source_address(index, sender), port, timeout=2) as sock:
                sock.sendall(payload)
                if read_all:
                    while sock.recv(65536):
                        pass
                else:
                    benchlib.read_reply(sock)
            with count.get_lock():
                count.value += 1
        except OSError:
            time.sleep(0.01)


def bad_json(deadline, count, sender):
    message = benchlib.raw_request("get_product_infos", b'{"starttime": "2024-05-06 00:00:00", ')
    from_new_addresses(benchlib.API_PORT, message, deadline, count, sender, read_all=False)


def modbus_protocol(deadline, count, sender):
    # Transaction 1, protocol id 7 (Modbus is 0), length 6, unit 1, read holding registers 0..4.
    frame = struct.pack(">HHHBBHH", 1, 7, 6, 1, 3, 0, 5)
    from_new_addresses(MODBUS_PORT, frame, deadline, count, sender, read_all=True)


FLOODS = [
    ("unknown url, keep-alive", unknown_url),
    ("valid get_product_infos, keep-alive", valid_requests),
    ("bad JSON, new source address per connection", bad_json),
    ("Modbus wrong protocol id, new source address per connection", modbus_protocol),
]


def flood(function, seconds):
    count = multiprocessing.Value("q", 0)
    deadline = time.monotonic() + seconds
    senders = [multiprocessing.Process(target=function, args=(deadline, count, sender)) for sender in range(SENDERS)]
    for sender in senders:
        sender.start()
    for sender in senders:
        sender.join(timeout=seconds + 30)
        if sender.is_alive():
            sender.terminate()
            sender.join()
    return count.value


def free_ports(count):
    """Ports nothing listens on in this namespace: bound and closed again at once."""
    ports = []
    for _ in range(count):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            probe.bind(("127.0.0.1", 0))
            ports.append(probe.getsockname()[1])
    return ports


def subscribe(addresses, per_address):
    """Each address registers per_address subscriptions of detected_info on ports where nothing
    listens. Returns the number of keys the answers listed, the number of errorstrings."""
    ports = free_ports(addresses * per_address)
    listed = 0
    refused = 0
    for a in range(addresses):
        entries = [{"subscriber_ip": "127.0.0.1", "subscriber_port": ports[a * per_address + j],
                    "subscriber_topic": "detected_info"} for j in range(per_address)]
        message = benchlib.raw_request("subscriber_baseinfo", json.dumps({"subscriber": entries}).encode())
        with benchlib.connect_from("127.0.0.%d" % (a + 10), benchlib.API_PORT) as sock:
            sock.sendall(message)
            status, body, _ = benchlib.read_reply(sock)
        try:
            result = json.loads(body).get("result", {})
        except ValueError:
            result = {}
        listed = max(listed, len(result.get("subscribe_result", [])))
        refused += 1 if result.get("errorstring") else 0
    return listed, refused


def part_floods(build, args):
    # A short cycle, so that the subscriptions are pushed to often.
    program = benchlib.Program(build, 200)
    program.prepare()
    program.start()
    verdicts = []
    try:
        if not benchlib.wait_for_port(MODBUS_PORT, 10):
            print("floods: the program did not open its Modbus port")
        tail = benchlib.LogTail(program.path("cnt_net", "workspace", "log"))
        time.sleep(1.0)
        tail.take()
        print("floods: %d s each, %d senders" % (args.flood_seconds, SENDERS), flush=True)
        for name, function in FLOODS:
            tail.take()
            started = time.monotonic()
            sent = flood(function, args.flood_seconds)
            time.sleep(1.5)   # counts of left-out lines come about a second later
            elapsed = time.monotonic() - started
            written, _ = tail.take()
            rate = written / elapsed
            print("  %-62s %8d sent  log %9.0f bytes/s" % (name, sent, rate), flush=True)
            verdicts.append(("floods: %s %.1f kB/s <= 20" % (name, rate / 1000), rate <= 20000))
        tail.take()
        listed, refused = subscribe(33, 8)
        tail.take()
        started = time.monotonic()
        time.sleep(10.0)
        elapsed = time.monotonic() - started
        written, lines = tail.take("[POST_2_APP] ERROR NO CONNECTED")
        rate = written / elapsed
        print("  %-62s %8d keys listed, %d answers with an errorstring; over 10 s of the cycle: "
              "%.0f \"ERROR NO CONNECTED\" lines/s, log %.0f bytes/s"
              % ("33 addresses x 8 subscriptions, nothing listening", listed, refused, lines / elapsed, rate), flush=True)
        verdicts.append(("floods: subscriptions %.1f kB/s <= 20" % (rate / 1000), rate <= 20000))
    finally:
        program.stop()
        shutil.rmtree(program.dir, ignore_errors=True)
    return verdicts


# The shapes.

def shape_body(kind, size):
    """A JSON array of about size bytes made of one repeated piece."""
    if kind == "nested":
        piece = b"[" * 999 + b"1" + b"]" * 999 + b","
    elif kind == "arrays":
        piece = b"[[[[[[[[1]]]]]]]],"
    else:
        piece = b'{"a":1},'
    count = max(1, (size - 2) // len(piece))
    return b"[" + piece * (count - 1) + piece[:-1] + b"]"


def post_body(body, timeout=300):
    """One request on a connection of its own; returns (status, msg)."""
    with socket.create_connection(("127.0.0.1", benchlib.API_PORT), timeout=timeout) as sock:
        try:
            sock.sendall(benchlib.raw_request("get_product_infos", body))
        except (BrokenPipeError, ConnectionResetError):
            pass
        try:
            status, reply, _ = benchlib.read_reply(sock)
        except (socket.timeout, ConnectionResetError):
            return None, ""
    try:
        msg = json.loads(reply).get("msg", "")
    except ValueError:
        msg = ""
    return status, msg


def refused_for_size(status, msg):
    text = msg.lower()
    return status == 413 or (status == 400 and any(word in text for word in ("large", "size", "long", "many", "big")))


def largest_taken(kind):
    """From 8 MiB halved until a size is not refused for its size, then narrowed between it and
    the refused one to within 5 %."""
    size = 8 * MIB
    while size >= 256:
        status, msg = post_body(shape_body(kind, size))
        if not refused_for_size(status, msg):
            break
        size //= 2
    else:
        return size, None, ""
    taken, refused = (size, status, msg), size * 2
    while size < 8 * MIB and refused - taken[0] > taken[0] // 20:
        middle = (taken[0] + refused) // 2
        status, msg = post_body(shape_body(kind, middle))
        if refused_for_size(status, msg):
            refused = middle
        else:
            taken = (middle, status, msg)
    return taken


def control_body(size):
    """A JSON text of the same size that costs Qt about its size: one string in an array."""
    return b'["' + b"x" * max(0, size - 4) + b'"]'


def copies_for(size):
    """Small bodies go many at once (each decoded and queued while the handler is busy), so that
    what Qt builds of them rises above what the allocator and the sockets make the resident size
    wander by."""
    return max(1, min(64, -(-256 * 1024 // size)))


def peak_growth(build, body, copies):
    """Peak and lasting growth of the resident size, in MiB, of a fresh program that gets copies
    of the body at once; and the answers."""
    program = started_program(build)
    try:
        return grow(program, body, copies)
    finally:
        stopped(program)


def grow(program, body, copies):
    before = settle_rss(program, 1.0)
    program.reset_peak()
    results = [None] * copies
    with benchlib.MemoryWatch(program) as memory:
        def one(i):
            results[i] = post_body(body)
        threads = [threading.Thread(target=one, args=(i,)) for i in range(copies)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    peak = max(memory.peak_kib, program.memory_kib("VmHWM")) / 1024.0
    after = settle_rss(program, 5.0)
    return peak - before, after - before, sorted({"%s %s" % (s, m) for s, m in results})


def measure_shape(build, label, body, copies):
    """The shape's peak growth beyond that of as many cheap bodies of its size (what the
    connections, the requests and their answers cost whatever the body holds), against the
    bodies' size."""
    growth, after, answers = peak_growth(build, body, copies)
    control, _, _ = peak_growth(build, control_body(len(body)), copies)
    body_mib = len(body) * copies / MIB
    beyond = max(0.0, growth - control)
    print("  %-44s %d x %d bytes  answers %s  peak growth %7.1f MiB, %7.1f MiB beyond cheap bodies of its size"
          " (%5.1fx the bodies)  after 5 s %+6.1f MiB"
          % (label, copies, len(body), answers, growth, beyond, beyond / body_mib, after), flush=True)
    return [("shapes: %s peak %.1fx <= 10" % (label, beyond / body_mib), beyond / body_mib <= 10),
            ("shapes: %s after %.1f MiB <= 5 MB" % (label, after), after <= mib(5))]


def started_program(build):
    program = benchlib.Program(build, 500)
    program.prepare()
    program.start()
    return program


def stopped(program):
    program.stop()
    shutil.rmtree(program.dir, ignore_errors=True)


def part_shapes(build, args):
    kinds = (("nested", "arrays nested 1000 deep"), ("arrays", "[[[[[[[[1]]]]]]]], repeated"),
             ("objects", "{\"a\":1}, repeated"))
    print("shapes:", flush=True)
    sizes = {}
    program = started_program(build)
    try:
        for kind, label in kinds:
            size, status, msg = largest_taken(kind)
            sizes[kind] = size
            print("  %-44s largest size taken: %d bytes (answer %s %s)" % (label, size, status, msg), flush=True)
    finally:
        stopped(program)
    # Each measured on a program of its own: memory an earlier body left with the allocator
    # would hide the next one's growth.
    verdicts = []
    for kind, label in kinds:
        body = shape_body(kind, sizes[kind])
        # One small body alone costs less than the resident size wanders by: it goes only in company.
        for copies in sorted({copies_for(len(body)), 8 if kind == "nested" else copies_for(len(body))}):
            verdicts += measure_shape(build, label + (", %d at once" % copies if copies > 1 else ""), body, copies)
    return verdicts


PARTS = {"readers": part_readers, "floods": part_floods, "shapes": part_shapes}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", help="build folder holding mouldmonitor (default: build)")
    parser.add_argument("--parts", default="readers,floods,shapes", help="comma-separated: readers, floods, shapes")
    parser.add_argument("--days", type=int, default=400)
    parser.add_argument("--rows", type=int, default=3000, help="records a day of the history")
    parser.add_argument("--connections", type=int, default=24, help="non-reading connections")
    parser.add_argument("--seconds", type=int, default=40, help="how long the non-reading clients stay")
    parser.add_argument("--flood-seconds", type=int, default=10)
    args = parser.parse_args()
    parts = [part.strip() for part in args.parts.split(",") if part.strip()]
    unknown = [part for part in parts if part not in PARTS]
    if unknown:
        parser.error("unknown parts: %s" % ", ".join(unknown))
    benchlib.isolate()
    build = benchlib.build_dir(args.build)
    print("load average %s" % " ".join(open("/proc/loadavg").read().split()[:3]), flush=True)
    verdicts = []
    for part in parts:
        verdicts += PARTS[part](build, args)
    for text, ok in verdicts:
        print("%-72s %s" % (text, "met" if ok else "MISSED"))
    return 0 if all(ok for _, ok in verdicts) else 1


if __name__ == "__main__":
    sys.exit(main())

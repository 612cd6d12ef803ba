#!/usr/bin/env python3
"""What hostile JSON bodies leave in the running program's memory.

Starts the built program with the HTTP API switched on, then again with it off, and sends to
port 10100, one request per connection:
  - ten 1 MB bodies of each kind of name pair that Qt's reader takes for one name although the
    bytes differ (an escaped unpaired surrogate and a raw U+FFFD; names of one length differing
    after a raw NUL; a backslash before a high byte and the surrogates Qt makes of it), each
    name holding a large array: to a route (answered, or 403 with the switch off) and to an
    unknown route;
  - one multipart request of eight 1,000,000-byte JSON parts of the first kind;
  - the header of a 60 MB multipart request of eight 7.5 MB JSON parts, the body only if the
    program has not answered the header within two seconds;
  - ten multipart requests carrying the largest picture the panel makes (1920 x 1080, three
    bytes a pixel), which must pass.
Prints the status codes and the program's resident size (VmRSS) after each batch, and for the
60 MB request whether it was refused before its body was sent, the time and the peak (VmHWM).

Run from the repository root after a build:  tools/bench/hostile_json_bench.py [--build build]
It re-runs itself in a network and IPC namespace of its own when it can (root)."""

import argparse
import json
import os
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

MB = 1024 * 1024
BOUNDARY = b"------------------------tcpservreactor"
# Pairs of names whose bytes differ and which Qt 5.15 merges.
PAIRS = {
    "unpaired surrogate / U+FFFD": (b"\\ud800", b"\xef\xbf\xbd"),
    "NUL, same length": (b"a\x00b", b"a\x00c"),
    "backslash before a high byte": (b"\\\xc3a", b"\\ud7bf\\udfc3a"),
}


def merged_body(pair, size=MB):
    """An object of the two names, each holding an array of ones; about size bytes."""
    count = max(1, (size // 2 - 16) // 2)
    array = b"[" + b"1," * (count - 1) + b"1]"
    return b'{"' + pair[0] + b'":' + array + b',"' + pair[1] + b'":' + array + b"}"


def request(url, body, content_type=b"application/json", agent=b"bench"):
    return (b"POST " + url + b" HTTP/1.1\r\nUser-Agent: " + agent + b"\r\nContent-Type: " + content_type +
            b"\r\nContent-Length: " + str(len(body)).encode() + b"\r\n\r\n")


def status_of(data):
    line = data.split(b"\r\n", 1)[0].split(b" ")
    return int(line[1]) if len(line) > 1 and line[1].isdigit() else None


def read_reply(sock, timeout):
    """The reply's status, or None when nothing (or no whole header) came within the time."""
    sock.settimeout(timeout)
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
    except (socket.timeout, ConnectionResetError):
        pass
    return status_of(data) if b"\r\n\r\n" in data else None


def exchange(head, body, timeout=120):
    """Sends one request on a connection of its own; returns its status."""
    with socket.create_connection(("127.0.0.1", benchlib.API_PORT), timeout=timeout) as sock:
        try:
            sock.sendall(head + body)
        except (BrokenPipeError, ConnectionResetError):
            pass
        return read_reply(sock, timeout)


def multipart(parts):
    body = b""
    for name, content_type, content in parts:
        body += (BOUNDARY + b'\r\nContent-Disposition: form-data; name="' + name + b'"\r\nContent-Type: ' +
                 content_type + b"\r\n\r\n" + content + b"\r\n")
    return body + BOUNDARY + b"\r\n"


def multipart_type():
    return b"multipart/form-data;boundary=" + BOUNDARY


def settle(program):
    time.sleep(1.5)
    return program.memory_kib("VmRSS") / 1024.0


def batch(program, label, sends):
    before = settle(program)
    statuses = [exchange(head, body) for head, body in sends]
    after = settle(program)
    print("%-62s %-14s RSS %7.1f -> %7.1f MB (%+.1f)" % (label, ",".join(sorted({str(s) for s in statuses})),
                                                        before, after, after - before))
    sys.stdout.flush()


def sixty_mb(program):
    part = merged_body((b"a", b"b"), int(7.5 * MB))
    body = multipart([(b"p%d" % i, b"application/json", part) for i in range(8)])
    head = request(b"/v18/http/get_product_infos", body, multipart_type())
    before = settle(program)
    program.reset_peak()
    started = time.perf_counter()
    with socket.create_connection(("127.0.0.1", benchlib.API_PORT), timeout=120) as sock:
        sock.sendall(head)
        status = read_reply(sock, 2.0)
        refused_on_header = status is not None
        if not refused_on_header:
            try:
                sock.sendall(body)
            except (BrokenPipeError, ConnectionResetError):
                pass
            status = read_reply(sock, 120)
    elapsed = time.perf_counter() - started
    peak = program.memory_kib("VmHWM") / 1024.0
    after = settle(program)
    print("%-62s %-14s %s in %.2f s; RSS %7.1f -> peak %7.1f -> %7.1f MB" % (
        "60 MB multipart, eight 7.5 MB JSON parts (%d bytes)" % len(body), status,
        "refused on its header" if refused_on_header else "body read", elapsed, before, peak, after))


def run(build, api):
    program = benchlib.Program(build, cycle_ms=3000)
    program.prepare()
    config_path = program.path("cnt_net", "config.json")
    with open(config_path) as f:
        config = json.load(f)
    config["device_workapifunc"] = api
    with open(config_path, "w") as f:
        json.dump(config, f, indent=4)
    program.start()
    try:
        print("API switched %s" % ("on" if api else "off"))
        exchange(request(b"/v18/http/get_product_infos", b"{}"), b"{}")
        route = b"/v18/http/get_product_infos"
        for name, pair in PAIRS.items():
            body = merged_body(pair)
            batch(program, "10 x 1 MB, %s, %s" % (name, route.decode()), [(request(route, body), body)] * 10)
            batch(program, "10 x 1 MB, %s, unknown route" % name,
                  [(request(b"/v18/http/nowhere", body), body)] * 10)
        # Eight parts of 10^6 bytes: within the bound of a multipart body, so that they are read.
        parts = multipart([(b"p%d" % i, b"application/json",
                            merged_body(PAIRS["unpaired surrogate / U+FFFD"], 1000000)) for i in range(8)])
        batch(program, "multipart of eight 1,000,000-byte JSON parts (unpaired surrogate)",
              [(request(route, parts, multipart_type()), parts)])
        sixty_mb(program)
        width, height = 1920, 1080
        info = json.dumps({"datakey": "screen", "channels": 3, "data_type": "data_type", "size_width": width,
                           "size_height": height}, separators=(",", ":")).encode()
        picture = multipart([(b"screen-info", b"application/json", info),
                             (b"screen", b"application/octet-stream", bytes(width * height * 3))])
        batch(program, "10 x multipart of a 1920 x 1080 x 3 picture (%d bytes)" % len(picture),
              [(request(route, picture, multipart_type()), picture)] * 10)
    finally:
        program.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", help="build folder holding mouldmonitor (default: build)")
    args = parser.parse_args()
    benchlib.isolate()
    build = benchlib.build_dir(args.build)
    for api in (True, False):
        run(build, api)


if __name__ == "__main__":
    main()

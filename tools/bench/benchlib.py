"""Shared pieces of the benchmarks: a private network namespace, the program in a scratch folder,
HTTP POSTs to its API, and the program's memory use."""

import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
API_PORT = 10100
ISOLATED_FLAG = "MOULD_BENCH_ISOLATED"


def isolate():
    """Runs the rest of the calling script again in a network and IPC namespace of its own, so
    the program's fixed ports (10100, 502, 10431) and System V keys meet nobody else's. Without
    root (or unshare) it stays where it is and says so."""
    if os.environ.get(ISOLATED_FLAG):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=False)
        return
    if os.geteuid() != 0 or not shutil.which("unshare"):
        print("note: not isolated (needs root and unshare); fixed ports may collide", file=sys.stderr)
        return
    env = dict(os.environ, **{ISOLATED_FLAG: "1"})
    os.execvpe("unshare", ["unshare", "-n", "-i", "--", sys.executable] + sys.argv, env)


def install_bench_packages():
    subprocess.run([os.path.join(REPO, "scripts", "setup-deps.sh"), "--bench"], check=True)


def build_dir(path=None):
    build = os.path.abspath(path or os.path.join(REPO, "build"))
    if not os.access(os.path.join(build, "mouldmonitor"), os.X_OK):
        sys.exit("no program at %s/mouldmonitor: build it first (cmake --build build)" % build)
    return build


def wait_for(condition, timeout_s=30.0):
    """Polls condition every 0.1 s until it holds or the time is up; returns it."""
    deadline = time.monotonic() + timeout_s
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.1)
    return condition()


def wait_for_port(port, timeout_s=30.0):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class Program:
    """The built program running in a scratch folder with the API (and optionally the companion
    link) switched on."""

    def __init__(self, build, cycle_ms, companion=False, keep=None):
        self.build = build
        self.dir = keep or tempfile.mkdtemp(prefix="mouldbench-")
        os.makedirs(self.dir, exist_ok=True)
        self.cycle_ms = cycle_ms
        self.companion = companion
        self.process = None

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def prepare(self):
        os.makedirs(self.path("cnt_net"), exist_ok=True)
        config = {"devicename": "bench", "device_workapifunc": True,
                  "device_worknetfunc": self.companion, "device_workvideo": False}
        with open(self.path("cnt_net", "config.json"), "w") as f:
            json.dump(config, f, indent=4)
        if self.companion:
            os.makedirs(self.path("cnt_net", "zuzad_evurevi"), exist_ok=True)
            shutil.copy(os.path.join(self.build, "zuzad_evurevi"),
                        self.path("cnt_net", "zuzad_evurevi", "zuzad_evurevi"))

    def start(self):
        # No simulated NG: its alarm holds the cycle for 2 s on purpose, which would read as a stall.
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", MOULD_SIM_CYCLE_MS=str(self.cycle_ms),
                   MOULD_SIM_NG_EVERY="0", MOULD_COMMAND_LOG=self.path("commands.log"))
        env.pop("MOULD_PANEL", None)
        self.log = open(self.path("program.out"), "wb")
        self.process = subprocess.Popen([os.path.join(self.build, "mouldmonitor")], cwd=self.dir, env=env,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        if not wait_for_port(API_PORT):
            self.stop()
            sys.exit("the program did not open its API port; see %s" % self.path("program.out"))

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def memory_kib(self, key):
        """VmRSS or VmHWM of the program in KiB."""
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return 0

    def reset_peak(self):
        """Makes VmHWM start again from the present size (root only); False when it cannot."""
        try:
            with open("/proc/%d/clear_refs" % self.process.pid, "w") as f:
                f.write("5")
            return True
        except OSError:
            return False


def post(route, body, port=API_PORT, timeout=600):
    """One POST on a connection of its own; returns (seconds, status, reply bytes)."""
    payload = json.dumps(body).encode()
    started = time.perf_counter()
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    connection.request("POST", "/v18/http/" + route, payload, {"Content-Type": "application/json"})
    response = connection.getresponse()
    data = response.read()
    elapsed = time.perf_counter() - started
    connection.close()
    return elapsed, response.status, data


def make_history(folder, today, days, rows_per_day):
    """The record and statistics history that history_bench makes: RECORD/<day>.db with
    rows_per_day records a day and ResStatistics/<day>.db for `days` days before today."""
    import history_bench
    history_bench.make_history(folder, today, days, rows_per_day)


def raw_request(route, body, content_type=b"application/json"):
    """The bytes of one POST to the API."""
    return (b"POST /v18/http/" + route.encode() + b" HTTP/1.1\r\nContent-Type: " + content_type +
            b"\r\nContent-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)


def read_head(sock, buffer=b""):
    """Reads up to the end of one reply's header. Returns (status, content length, bytes after
    the header), or (None, 0, b"") when the connection ended first."""
    while b"\r\n\r\n" not in buffer:
        chunk = sock.recv(65536)
        if not chunk:
            return None, 0, b""
        buffer += chunk
    head, _, rest = buffer.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    words = lines[0].split(b" ")
    status = int(words[1]) if len(words) > 1 and words[1].isdigit() else None
    length = 0
    for line in lines[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip() or 0)
    return status, length, rest


def read_reply(sock, buffer=b""):
    """Reads one whole reply. Returns (status, body, bytes after it); status None when the
    connection ended first."""
    status, length, rest = read_head(sock, buffer)
    if status is None:
        return None, b"", b""
    while len(rest) < length:
        chunk = sock.recv(max(65536, length - len(rest)))
        if not chunk:
            return None, b"", b""
        rest += chunk
    return status, rest[:length], rest[length:]


def source_address(index, block=0):
    """The index-th loopback address of a block of 65,000 (127.<block+1>.y.z): in a network
    namespace of its own, loopback answers on all of 127/8, so every connection can come from
    an address of its own."""
    return "127.%d.%d.%d" % (block + 1, (index // 250) % 256, index % 250 + 1)


def connect_from(address, port, timeout=10):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    try:
        sock.bind((address, 0))
        sock.connect(("127.0.0.1", port))
    except OSError:
        sock.close()
        raise
    return sock


class MemoryWatch:
    """Samples the program's VmRSS every 0.1 s in a thread of its own; keeps the largest."""

    def __init__(self, program):
        self.program = program
        self.peak_kib = 0
        self.stopping = None
        self.thread = None

    def __enter__(self):
        import threading
        self.stopping = threading.Event()
        self.peak_kib = self.program.memory_kib("VmRSS")

        def sample():
            while not self.stopping.is_set():
                try:
                    self.peak_kib = max(self.peak_kib, self.program.memory_kib("VmRSS"))
                except OSError:
                    return
                self.stopping.wait(0.1)

        self.thread = threading.Thread(target=sample, daemon=True)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.thread.join()


class LogTail:
    """Reads what the program appends to the files of its log folder: bytes written and lines
    holding a given text, per call of take(). A file that shrank or is new is read from its
    start."""

    def __init__(self, folder):
        self.folder = folder
        self.offsets = {}

    def take(self, text=None):
        written = 0
        matches = 0
        try:
            names = sorted(os.listdir(self.folder))
        except OSError:
            names = []
        for name in names:
            path = os.path.join(self.folder, name)
            if not os.path.isfile(path):
                continue
            offset = self.offsets.get(name, 0)
            try:
                size = os.path.getsize(path)
                if size < offset:
                    offset = 0
                with open(path, "rb") as f:
                    f.seek(offset)
                    chunk = f.read()
            except OSError:
                continue
            # Only whole lines count; the rest is read next time.
            end = chunk.rfind(b"\n") + 1
            chunk = chunk[:end]
            self.offsets[name] = offset + len(chunk)
            written += len(chunk)
            if text:
                matches += chunk.count(text.encode())
        return written, matches

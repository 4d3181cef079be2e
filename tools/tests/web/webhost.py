"""smd-host with --http on a free loopback port, for the web tests.

Each test script is run as: python3 SCRIPT SMD_HOST PLUGIN SOURCE_DIR
"""
import json
import os
import socket
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request


class Host:
    def __init__(self, scenario="mains-failure", extra=(), prepare=None):
        self.exe, self.plugin, self.source = (os.path.abspath(a) for a in sys.argv[1:4])
        self.dir = tempfile.mkdtemp(prefix="smd-web-")
        self.db = os.path.join(self.dir, "h.db")
        if prepare:  # e.g. fills the history before the host starts on it
            prepare(self)
        self.events = []
        self.proc = subprocess.Popen(
            [self.exe, "--plugin", self.plugin, "--db", self.db,
             "--simulate", scenario, "--json", "--http", "0", *extra],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, cwd=self.dir)
        self.started = time.monotonic()
        threading.Thread(target=self._read, daemon=True).start()
        port = self.wait_for(lambda e: e.get("event") == "http", 10)["port"]
        self.port = port
        self.url = f"http://127.0.0.1:{port}"

    def _read(self):
        for line in self.proc.stdout:
            try:
                self.events.append(json.loads(line))
            except ValueError:
                pass

    def wait_for(self, match, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for e in list(self.events):
                if match(e):
                    return e
            if self.proc.poll() is not None:
                raise AssertionError(f"smd-host ended: {self.proc.stderr.read()}")
            time.sleep(0.05)
        raise AssertionError(f"no matching event within {timeout} s")

    def rounds(self):
        return sum(1 for e in list(self.events) if e.get("event") == "round")

    def get(self, path, method="GET", timeout=5):
        req = urllib.request.Request(self.url + path, method=method)
        try:
            with urllib.request.urlopen(req, timeout=timeout) as r:
                return r.status, r.headers, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read().decode()

    def json(self, path):
        status, _, body = self.get(path)
        assert status == 200, (path, status, body)
        return json.loads(body)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(20)
        shutil.rmtree(self.dir, ignore_errors=True)
        return self.proc.returncode


def rss_kb(host, key="VmHWM"):
    """The host's peak (VmHWM) or current (VmRSS) resident memory."""
    with open(f"/proc/{host.proc.pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise AssertionError(key)


def connect(host, timeout=5):
    return socket.create_connection(("127.0.0.1", host.port), timeout=timeout)


def read_all(s, limit=1 << 20):
    reply = b""
    try:
        while len(reply) < limit:
            chunk = s.recv(65536)
            if not chunk:
                break
            reply += chunk
    except OSError:  # reset once the server gave up on it, or timed out
        pass
    return reply


def responses(s, count):
    """Parses up to `count` responses (status, headers, body) off one connection."""
    buf, out = b"", []
    while len(out) < count:
        while b"\r\n\r\n" not in buf:
            chunk = s.recv(65536)
            if not chunk:
                return out
            buf += chunk
        head, buf = buf.split(b"\r\n\r\n", 1)
        lines = head.decode().split("\r\n")
        headers = {k.lower(): v.strip() for k, v in (l.split(":", 1) for l in lines[1:])}
        size = int(headers.get("content-length", 0))
        while len(buf) < size:
            buf += s.recv(65536)
        out.append((int(lines[0].split()[1]), headers, buf[:size]))
        buf = buf[size:]
        if headers.get("connection", "").lower() == "close":
            return out
    return out


def sockstat_tcp_kb():
    """The kernel's memory for TCP buffers in this network namespace."""
    with open("/proc/net/sockstat") as f:
        for line in f:
            if line.startswith("TCP:"):
                fields = line.split()
                return int(fields[fields.index("mem") + 1]) * os.sysconf("SC_PAGE_SIZE") // 1024
    raise AssertionError("no TCP line")


def run(tests, host=Host):
    """Runs each test function against one host; prints 'N passed, N failed'."""
    passed = failed = 0
    host = host()
    try:
        for t in tests:
            try:
                t(host)
                passed += 1
                print(f"ok   {t.__name__}")
            except Exception as e:  # report and go on
                failed += 1
                print(f"FAIL {t.__name__}: {e!r}")
    finally:
        rc = host.close()
    if rc != 0:
        failed += 1
        print(f"FAIL smd-host exit status {rc}")
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed else 0)

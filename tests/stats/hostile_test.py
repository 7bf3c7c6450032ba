#!/usr/bin/env python3
"""quilo-stats against appliances that misbehave, and HTTP requests it must refuse.

hostile_test.py QUILO_STATS

Fake control sockets (TCP and Unix) answer garbage, close in the middle of a
reply, announce a huge DATA length, send an endless line, or stall; one
answers properly, goes away and comes back. quilo-stats must stay up, keep
serving promptly, show the bad ones down with their error, show the good one
up again without a restart, and answer bad paths and methods cleanly.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

BANNER = b"Click::ControlSocket/1.3\r\n"


def ok(value):
    value = value.encode() if isinstance(value, str) else value
    return b"200 Read handler OK\r\nDATA %d\r\n" % len(value) + value


class Fake:
    """A control socket served by `behaviour(conn, commands)`."""

    def __init__(self, behaviour, unix_dir=None):
        self.behaviour = behaviour
        self.conns = []
        self.stopped = False
        if unix_dir:
            self.address = os.path.join(unix_dir, behaviour.__name__ + ".sock")
            self.sock = socket.socket(socket.AF_UNIX)
            self.sock.bind(self.address)
        else:
            self.sock = socket.socket()
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # to listen again
            self.sock.bind(("127.0.0.1", 0))
            self.address = "127.0.0.1:%d" % self.sock.getsockname()[1]
        self.sock.listen(8)
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.conns.append(conn)
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        def commands():
            buf = b""
            while True:
                while b"\n" not in buf:
                    data = conn.recv(65536)
                    if not data:
                        return
                    buf += data
                line, buf = buf.split(b"\n", 1)
                yield line.decode().strip()
        try:
            self.behaviour(conn, commands())
        except OSError:
            pass

    def stop(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
        except OSError:
            pass
        self.sock.close()
        for c in self.conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            c.close()
        self.conns = []


def garbage(conn, cmds):
    conn.sendall(b"\x00\xffHTTP/1.0 200 OK\r\n\r\n" + os.urandom(3000))
    time.sleep(60)


def midclose(conn, cmds):
    conn.sendall(BANNER)
    next(cmds)
    conn.sendall(b"200 Read handler 'list' OK\r\nDATA 100\r\n3\nx")
    conn.close()


def huge(conn, cmds):
    conn.sendall(BANNER)
    next(cmds)
    conn.sendall(b"200 OK\r\nDATA 4000000000\r\n" + b"y" * 65536)
    time.sleep(60)


def longline(conn, cmds):
    conn.sendall(BANNER + b"200 " + b"z" * (1 << 20))
    time.sleep(60)


def stall(conn, cmds):
    conn.sendall(BANNER)
    time.sleep(60)


TICKS = [0]


def good(conn, cmds):
    conn.sendall(BANNER)
    values = {"list": "1\nc\n", "c.class": "Counter\n", "c.handlers": "count\tr\nbyte_count\tr\nreset\tw\n",
              "c.config": ""}
    for cmd in cmds:
        h = cmd[5:] if cmd.startswith("READ ") else ""
        if h == "c.count":
            TICKS[0] += 1
            conn.sendall(ok(str(TICKS[0])))
        elif h == "c.byte_count":
            conn.sendall(ok(str(100 * TICKS[0])))
        elif h in values:
            conn.sendall(ok(values[h]))
        else:
            conn.sendall(b"511 No element named '%s'\r\n" % h.encode())


def http(base, path, method="GET", timeout=3):
    req = urllib.request.Request(base + path, method=method)
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return r.status, r.read(), r.headers
    except urllib.error.HTTPError as e:
        return e.code, e.read(), e.headers


def raw(port, data):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(data)
    out = b""
    try:
        while True:
            d = s.recv(65536)
            if not d:
                break
            out += d
    except (socket.timeout, ConnectionResetError):
        pass
    s.close()
    return out


def main():
    binary = sys.argv[1]
    failures = []

    def check(cond, what):
        if not cond:
            failures.append(what)
            print("FAIL:", what, flush=True)

    with tempfile.TemporaryDirectory() as tmp:
        fakes = {f.__name__: Fake(f, tmp if f in (midclose, stall) else None)
                 for f in (garbage, midclose, huge, longline, stall, good)}
        args = [binary, "--listen", "127.0.0.1:0"] + ["%s=%s" % (n, f.address) for n, f in fakes.items()]
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            line = proc.stdout.readline()
            check(line.startswith("quilo-stats: dashboard at http://127.0.0.1:"), "address line: " + line)
            base = line.split(" at ")[1].strip().rstrip("/")
            port = int(base.rsplit(":", 1)[1])

            def state():
                t = time.monotonic()
                code, body, _ = http(base, "/api/appliances")
                check(time.monotonic() - t < 1.0, "/api/appliances answered within a second")
                return {a["name"]: a for a in json.loads(body)["appliances"]}

            # The stalled one counts as down after its reply timeout (5 s).
            deadline = time.time() + 12
            while time.time() < deadline:
                s = state()
                if s["good"]["up"] and not s["stall"]["up"] and s["stall"]["errors"] > 0:
                    break
                time.sleep(0.5)
            for name in ("garbage", "midclose", "huge", "longline", "stall"):
                check(not s[name]["up"] and s[name]["last_error"], name + " shown down with its error: %s" % s[name])
            print({n: a["last_error"] for n, a in s.items()}, flush=True)
            check("DATA length" in s["huge"]["last_error"], "huge DATA length named")
            check(s["good"]["up"], "good appliance up")
            code, body, _ = http(base, "/metrics")
            text = body.decode()
            check(code == 200 and 'quilo_up{appliance="good"} 1' in text, "good up in /metrics")
            check('quilo_up{appliance="huge"} 0' in text, "huge down in /metrics")
            check('quilo_counter_packets_total{appliance="good",element="c"}' in text, "good's counter")
            rss = int(next(l.split()[1] for l in open("/proc/%d/status" % proc.pid) if l.startswith("VmRSS")))
            check(rss < 200 * 1024, "memory stays bounded: %d kB" % rss)

            # The good appliance goes away and comes back on the same address.
            fakes["good"].stop()
            time.sleep(2.5)
            s = state()
            check(not s["good"]["up"], "good shown down once gone")
            connects = s["good"]["connects"]
            host, p = fakes["good"].address.split(":")
            fakes["good"].sock = socket.socket()
            fakes["good"].sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            fakes["good"].sock.bind((host, int(p)))
            fakes["good"].sock.listen(8)
            threading.Thread(target=fakes["good"].accept, daemon=True).start()
            deadline = time.time() + 6
            while time.time() < deadline and not state()["good"]["up"]:
                time.sleep(0.3)
            s = state()
            check(s["good"]["up"] and s["good"]["connects"] > connects, "good picked up again: %s" % s["good"])

            # HTTP: bad paths, methods, parameters and requests.
            for path, method, want in [("/nope", "GET", 404), ("/metrics/../../etc/passwd", "GET", 404),
                                       ("/metrics", "POST", 405), ("/", "DELETE", 405),
                                       ("/api/history?range=abc", "GET", 400), ("/api/history?range=0", "GET", 400),
                                       ("/api/history?metric=quilo_nonsense", "GET", 400),
                                       ("/api/history?appliance=nobody", "GET", 404),
                                       ("/api/history?bogus=1", "GET", 400), ("/", "HEAD", 200)]:
                code, body, headers = http(base, path, method)
                check(code == want, "%s %s: %d, wanted %d" % (method, path, code, want))
                if want == 405:
                    check(headers.get("Allow") == "GET, HEAD", "405 names the allowed methods")
            code, body, _ = http(base, "/", "HEAD")
            check(body == b"", "HEAD has no body")
            check(raw(port, b"GARBAGE\r\n\r\n").startswith(b"HTTP/1.1 400"), "malformed request line: 400")
            resp = raw(port, b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 70000 + b"\r\n\r\n")
            check(resp == b"" or resp.split(b" ")[1][:1] == b"4", "oversized headers refused")
            code, body, _ = http(base, "/api/history?appliance=good&metric=quilo_counter_packets_total&range=30")
            h = json.loads(body)
            vals = [v for v in h["appliances"][0]["series"][0]["values"] if v is not None]
            check(code == 200 and len(vals) > 3 and vals == sorted(vals), "good's history: %s" % vals)
            check(proc.poll() is None, "quilo-stats still running")
        finally:
            proc.terminate()
            try:
                rc = proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                rc = "killed"
            check(rc == 0, "quilo-stats exits 0 on SIGTERM (got %s)" % rc)
            for f in fakes.values():
                f.stop()
    if failures:
        print("%d failures" % len(failures))
        sys.exit(1)
    print("hostile test passed")


if __name__ == "__main__":
    main()

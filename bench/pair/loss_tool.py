#!/usr/bin/env python3
"""Traffic for bench/pair/loss_bench.sh: bulk and request/response TCP
transfers of pseudo-random bytes, and timed streams of small UDP datagrams.

    loss_tool.py serve ADDR PORT
    loss_tool.py bulk ADDR PORT BYTES SEED
    loss_tool.py fetches ADDR PORT COUNT BYTES SEED
    loss_tool.py udpsink ADDR PORT FLOWS IDLE_SECS PEER
    loss_tool.py udpsend ADDR PORT FLOWS PER_SEC BYTES SECS

The server answers each request line "BYTES SEED" on a connection with
random.Random(SEED).randbytes(BYTES), so content is incompressible, never
repeats between seeds, and the client checks every byte. bulk prints
"seconds ok|bad"; fetches (one connection, requests in turn, seed SEED+i)
prints "median_ms p95_ms max_ms ok|bad". udpsend sends FLOWS flows to
PORT..PORT+FLOWS-1, each datagram holding its flow, number and send time,
then incompressible bytes;
udpsend sends from ports PORT..; udpsink first sends one datagram on each
flow to PEER (so that the appliance on its side learns the flow from its
own LAN), then prints "received lost duplicated corrupt p50_ms p95_ms" of
the one-way delays (both ends read the same clock). Standard library only.
"""

import random
import select
import socket
import socketserver
import struct
import sys
import time


def fill(flow, i, n):
    """Incompressible datagram content, known to both ends."""
    return random.Random(flow << 32 | i).randbytes(n)


def pct(v, p):
    v = sorted(v)
    return v[min(len(v) - 1, int(p * len(v)))] if v else 0.0


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for line in self.rfile:
            n, seed = (int(x) for x in line.split())
            self.wfile.write(random.Random(seed).randbytes(n))
            self.wfile.flush()


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def recv_exact(s, n):
    buf = bytearray()
    while len(buf) < n:
        d = s.recv(min(1 << 20, n - len(buf)))
        if not d:
            break
        buf += d
    return bytes(buf)


def connect(addr, port):
    s = socket.create_connection((addr, int(port)), timeout=120)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def main(a):
    cmd = a[0]
    if cmd == "serve":
        Server((a[1], int(a[2])), Handler).serve_forever()
    elif cmd == "bulk":
        n, seed = int(a[3]), int(a[4])
        want = random.Random(seed).randbytes(n)
        s = connect(a[1], a[2])
        t = time.monotonic()
        s.sendall(b"%d %d\n" % (n, seed))
        got = recv_exact(s, n)
        print("%.3f %s" % (time.monotonic() - t, "ok" if got == want else "bad"))
    elif cmd == "fetches":
        count, n, seed = int(a[3]), int(a[4]), int(a[5])
        s = connect(a[1], a[2])
        times, ok = [], True
        for i in range(count):
            want = random.Random(seed + i).randbytes(n)
            t = time.monotonic()
            s.sendall(b"%d %d\n" % (n, seed + i))
            got = recv_exact(s, n)
            times.append((time.monotonic() - t) * 1000)
            ok = ok and got == want
        print("%.1f %.1f %.1f %s" % (pct(times, 0.5), pct(times, 0.95), max(times), "ok" if ok else "bad"))
    elif cmd == "udpsink":
        port, flows, idle = int(a[2]), int(a[3]), float(a[4])
        socks = []
        for f in range(flows):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind((a[1], port + f))
            s.sendto(b"hello", (a[5], port + f))
            socks.append(s)
        seen, delays, dup, bad, top = set(), [], 0, 0, {}
        while True:
            r, _, _ = select.select(socks, [], [], idle if seen else 30)
            if not r:
                break
            for s in r:
                d = s.recv(65535)
                now = time.time()
                if len(d) < 16:
                    bad += 1
                    continue
                f, i, sent = struct.unpack("!IId", d[:16])
                if d[16:] != fill(f, i, len(d) - 16):
                    bad += 1
                elif (f, i) in seen:
                    dup += 1
                else:
                    seen.add((f, i))
                    top[f] = max(top.get(f, 0), i)
                    delays.append((now - sent) * 1000)
        lost = sum(top.values()) + len(top) - len(seen)
        print("%d %d %d %d %.2f %.2f" % (len(seen), lost, dup, bad, pct(delays, 0.5), pct(delays, 0.95)))
    elif cmd == "udpsend":
        port, flows, rate, size, secs = int(a[2]), int(a[3]), float(a[4]), int(a[5]), float(a[6])
        socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(flows)]
        for f, s in enumerate(socks):
            s.bind(("", port + f))
        t0 = time.monotonic()
        for i in range(int(rate * secs)):
            for f, s in enumerate(socks):
                d = struct.pack("!IId", f, i, time.time())
                s.sendto(d + fill(f, i, size - 16), (a[1], port + f))
            time.sleep(max(0.0, t0 + (i + 1) / rate - time.monotonic()))
    else:
        sys.exit("loss_tool: unknown command " + cmd)


if __name__ == "__main__":
    main(sys.argv[1:])

#!/usr/bin/env python3
"""Soak of the appliance pair: traffic and faults at once, then checks.

    scripts/soak.py [--seconds N] [--seed S] [--build DIR] [--keep]

Builds a pair with scripts/pair.sh (conf/appliance.click, small byte-cache
datastores so that their index is full early) and runs for N seconds
(SOAK_SECONDS, default 600):

  traffic   nginx in the server namespace, curl in the client's: repeated
            downloads of a corpus of real files and of an edited copy of it;
            short connections (a small file each, hundreds a minute); one
            long-lived TCP session exchanging small messages with an echo
            server; a UDP flow echoed back. Every loop ends with the soak.
  faults    on a schedule drawn from a printed seed (SOAK_SEED replays it):
            10% loss bursts and reordering on the WAN emulator, SIGKILL and
            SIGTERM of either appliance with a restart, a hot swap of either
            appliance's configuration, a WAN outage longer than RSP's
            retransmission and poll timeouts, one side's datastore deleted
            while it is stopped. A short run takes as many kinds as fit.

Checks (the exit status is 1 when one fails): every completed transfer is
byte-identical (SHA-256); every failed connection was alive across a fault
that loses session state (an appliance stopped, the WAN cut), never across a
live appliance; no router died unless stopped, none logged a sanitizer
report; every router process that lived at least half the run holds its
resident memory in its last minute within 10% of its level at the end of its
first quarter (leaving out the seconds of a hot swap of that router, when
both configurations are alive for a moment); after each fault the tunnel is
open again within the time the configuration promises (see
promised_recovery); RSP never gives up on a packet (resetting the tunnel)
but across a cut WAN or a stopped appliance.
Ends with a summary table.

Needs root (namespaces), nginx and curl (scripts/install-deps.sh).
"""

import argparse
import hashlib
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

SRC = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAIR_SH = os.path.join(SRC, "scripts", "pair.sh")
CONF = os.path.join(SRC, "conf", "appliance.click")
SERVER_IP = "10.77.0.2"
HTTP_PORT, ECHO_PORT, UDP_PORT = 8080, 7001, 7002
SMALL_FILES = 40

# The reference configuration's timers (RSP's connection poll, the bypass
# hold) are read from conf/appliance.click; these are RSP's own: a client
# sends its SYN 5 s after it learns of its peer, and gives up on a packet
# after 5 retransmissions with a doubling delay of at least 2.1 s while it
# has no round-trip estimate.
SYN_DELAY = 5.0
SYN_GIVE_UP = 2.1 * (1 + 2 + 4 + 8 + 16)


def conf_default(name, text=None):
    text = text if text is not None else open(CONF).read()
    m = re.search(r"\$%s\s+([0-9]+)" % name, text)
    return int(m.group(1))


def promised_recovery():
    """Seconds from the end of a fault until the tunnel must be open again.

    An end whose peer vanished gives up on its queue, listens, and at its
    next connection poll (POLL_SECS) turns client and sends SYN 5 s later;
    a SYN lost to the fault is retransmitted on RSP's initial back-off, and
    a SYN that finds its peer not listening yet waits for the next poll."""
    poll = conf_default("POLL_SECS")
    return 2 * poll + SYN_DELAY + 2.1 * (1 + 2 + 4)


def now():
    return time.monotonic()


# --------------------------------------------------------------- control socket

def ctl(sock_path, op, handler, value=None, timeout=5.0):
    """One handler call on a router's Unix control socket; None on failure."""
    try:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(timeout)
        s.connect(sock_path)
        f = s.makefile("rb")
        f.readline()
        if op == "READ":
            s.sendall(b"READ %s\n" % handler.encode())
        else:
            v = value.encode()
            s.sendall(b"WRITEDATA %s %d\n" % (handler.encode(), len(v)) + v)
        status = f.readline().decode(errors="replace").rstrip("\r\n")
        while len(status) > 3 and status[3] == "-":
            status = f.readline().decode(errors="replace").rstrip("\r\n")
        if not status.startswith("200"):
            return None
        out = ""
        if op == "READ":
            line = f.readline().decode().strip()
            if not line.startswith("DATA "):
                return None
            out = f.read(int(line[5:])).decode(errors="replace").strip()
        s.close()
        return out
    except (OSError, ValueError):
        return None


# ----------------------------------------------------------------- server side

def serve(args):
    """Echo servers in the server namespace: TCP lines and UDP datagrams."""
    end = now() + args.seconds
    tcp = socket.socket()
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind((SERVER_IP, ECHO_PORT))
    tcp.listen(64)
    tcp.settimeout(1)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((SERVER_IP, UDP_PORT))
    udp.settimeout(1)

    def echo(c):
        c.settimeout(300)
        try:
            while now() < end:
                d = c.recv(4096)
                if not d:
                    break
                c.sendall(d)
        except OSError:
            pass
        c.close()

    def udp_echo():
        while now() < end:
            try:
                d, a = udp.recvfrom(2048)
                udp.sendto(d, a)
            except OSError:
                pass

    threading.Thread(target=udp_echo, daemon=True).start()
    while now() < end:
        try:
            c, _ = tcp.accept()
        except OSError:
            continue
        threading.Thread(target=echo, args=(c,), daemon=True).start()


# ----------------------------------------------------------------- client side

class Events:
    def __init__(self, path):
        self.f = open(path, "a")
        self.lock = threading.Lock()

    def add(self, **e):
        with self.lock:
            self.f.write(json.dumps(e) + "\n")
            self.f.flush()


def client(args):
    """Every traffic loop of the client namespace, until --seconds have passed."""
    man = json.load(open(args.manifest))
    ev = Events(args.events)
    t0 = time.time() - now()  # wall clock = monotonic + t0, shared with the orchestrator
    end = now() + args.seconds
    base = "http://%s:%d/" % (SERVER_IP, HTTP_PORT)
    stamp = lambda: now() + t0

    def downloads(name, idx):
        out = os.path.join(args.work, "got-%d" % idx)
        while now() < end:
            start = stamp()
            p = subprocess.run(["curl", "-sS", "-o", out, "--limit-rate", args.rate, "-y", "60", "-Y", "1",
                                "--max-time", "600", base + name], capture_output=True, text=True)
            size, sha = 0, ""
            if os.path.exists(out):
                size = os.path.getsize(out)
                sha = hashlib.sha256(open(out, "rb").read()).hexdigest()
                os.unlink(out)
            ok = p.returncode == 0
            ev.add(kind="download", name=name, start=start, end=stamp(), ok=ok, bytes=size,
                   corrupt=ok and sha != man[name], err=p.stderr.strip()[-200:])
            if not ok:
                time.sleep(1)

    def shorts(k, period):
        rnd = random.Random(args.seed * 100 + k)
        while now() < end:
            t = now()
            name = "s/%d" % rnd.randrange(SMALL_FILES)
            start = stamp()
            body, err = b"", ""
            try:
                s = socket.create_connection((SERVER_IP, HTTP_PORT), timeout=60)
                s.settimeout(60)
                s.sendall(b"GET /%s HTTP/1.0\r\nHost: soak\r\n\r\n" % name.encode())
                data = b""
                while True:
                    d = s.recv(65536)
                    if not d:
                        break
                    data += d
                s.close()
                head, _, body = data.partition(b"\r\n\r\n")
                if not head.startswith(b"HTTP/1.1 200"):
                    err = "status " + head[:40].decode(errors="replace")
            except OSError as e:
                err = "%s: %s" % (type(e).__name__, e)
            ok = not err
            ev.add(kind="short", name=name, start=start, end=stamp(), ok=ok, bytes=len(body),
                   corrupt=ok and hashlib.sha256(body).hexdigest() != man[name], err=err)
            time.sleep(max(0.0, period - (now() - t)))

    def interactive():
        rnd = random.Random(args.seed)
        while now() < end:
            start, n, err, corrupt = stamp(), 0, "", False
            try:
                s = socket.create_connection((SERVER_IP, ECHO_PORT), timeout=60)
                s.settimeout(120)
                f = s.makefile("rb")
                while now() < end:
                    msg = ("%d %s\n" % (n, "x" * rnd.randrange(10, 200))).encode()
                    s.sendall(msg)
                    if f.readline() != msg:
                        corrupt = True
                        break
                    n += 1
                    time.sleep(0.2)
                s.close()
            except OSError as e:
                err = "%s: %s" % (type(e).__name__, e)
            ev.add(kind="interactive", name="echo", start=start, end=stamp(), ok=not err and not corrupt,
                   bytes=n, corrupt=corrupt, err=err)
            if err:
                time.sleep(1)

    def udp_flow():
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        u.connect((SERVER_IP, UDP_PORT))
        u.setblocking(False)
        sent = got = bad = nbytes = 0
        last_got = stamp()
        while now() < end:
            payload = ("%d " % sent).encode() + bytes(range(256))[: 50 + sent % 200]
            try:
                u.send(payload)
                sent += 1
            except OSError:
                pass
            time.sleep(0.05)
            while True:
                try:
                    d = u.recv(2048)
                except OSError:
                    break
                seq = d.split(b" ", 1)[0]
                want = seq + b" " + bytes(range(256))[: 50 + int(seq or b"0") % 200] if seq.isdigit() else b""
                got += 1
                nbytes += len(d)
                bad += d != want
                last_got = stamp()
        ev.add(kind="udp", name="udp", start=0, end=stamp(), ok=True, bytes=got, sent=sent, udp_bytes=nbytes,
               corrupt=bad > 0, last_got=last_got, err="")

    threads = [threading.Thread(target=downloads, args=("corpus.tar", 0)),
               threading.Thread(target=downloads, args=("edited.tar", 1)),
               threading.Thread(target=interactive), threading.Thread(target=udp_flow)]
    threads += [threading.Thread(target=shorts, args=(k, args.short_period)) for k in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


# ------------------------------------------------------------------- the corpus

def make_corpus(www, mb, rnd):
    """A tar of real files of this machine, an edited copy and small files."""
    os.makedirs(os.path.join(www, "s"))
    files, total = [], 0
    for root in ("/usr/share/doc", "/usr/include", "/usr/bin", "/usr/lib/x86_64-linux-gnu"):
        for d, _, names in sorted(os.walk(root)):
            for n in sorted(names):
                p = os.path.join(d, n)
                try:
                    if os.path.islink(p) or not os.path.isfile(p):
                        continue
                    sz = os.path.getsize(p)
                except OSError:
                    continue
                if 0 < sz < 2 << 20 and total + sz <= mb << 20:
                    files.append(p)
                    total += sz
            if total >= (mb << 20) * 0.95:
                break
        if total >= (mb << 20) * 0.95:
            break
    lst = os.path.join(www, "..", "files")
    open(lst, "w").write("\n".join(files) + "\n")
    subprocess.run(["tar", "-cf", os.path.join(www, "corpus.tar"), "--files-from", lst, "--no-recursion"],
                   stderr=subprocess.DEVNULL)
    data = bytearray(open(os.path.join(www, "corpus.tar"), "rb").read())
    # The edited copy: a few bytes changed or inserted every 20 to 200 KB, as
    # a new version of the same files would be.
    pos = 0
    while True:
        pos += rnd.randrange(20000, 200000)
        if pos >= len(data):
            break
        edit = bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 64)))
        if rnd.random() < 0.5:
            data[pos:pos + len(edit)] = edit
        else:
            data[pos:pos] = edit
    open(os.path.join(www, "edited.tar"), "wb").write(data)
    for i in range(SMALL_FILES):
        src = open(files[rnd.randrange(len(files))], "rb").read()
        at = rnd.randrange(max(1, len(src)))
        open(os.path.join(www, "s", str(i)), "wb").write(src[at:at + rnd.randrange(500, 16000)] or b"-")
    man = {}
    for name in ["corpus.tar", "edited.tar"] + ["s/%d" % i for i in range(SMALL_FILES)]:
        man[name] = hashlib.sha256(open(os.path.join(www, name), "rb").read()).hexdigest()
    return man, len(files), len(data)


# ------------------------------------------------------------------ the faults

# Seconds each kind of fault needs, recovery included; the schedule packs as
# many as fit, in this order of priority, then shuffles them.
FAULT_COST = {"loss": 15, "reorder": 15, "swap": 20, "kill": 35, "term": 35, "dsdel": 40, "outage": 65}
OUTAGE_SECS = 30
# Seconds after a hot swap that the memory check leaves out for that router.
SWAP_SETTLE_SECS = 3


def plan(seconds, rnd, only=None):
    """[(start offset, kind, side)] for a run of `seconds`; `only`: the
    faults to take ("kind" or "kind:side", in order of priority)."""
    s1, s2 = rnd.sample("ab", 2)
    wanted = [("loss", None), ("reorder", None), ("swap", s1), ("kill", s2), ("term", s1), ("outage", None),
              ("dsdel", s2), ("swap", s2), ("kill", s1), ("term", s2), ("loss", None), ("reorder", None)]
    if only:
        wanted = [(k.split(":")[0], (k.split(":") + [rnd.choice("ab")])[1] if k.split(":")[0] in
                   ("swap", "kill", "term", "dsdel") else None) for k in only.split(",")]
    warmup = min(60.0, seconds / 8)
    budget = seconds - warmup - 20
    chosen = []
    for k, side in wanted:
        if FAULT_COST[k] <= budget:
            chosen.append((k, side))
            budget -= FAULT_COST[k]
    rnd.shuffle(chosen)
    # The spare time is cut at random points into the gaps between faults.
    cuts = sorted(rnd.uniform(0, budget) for _ in chosen)
    out, t, prev = [], warmup, 0.0
    for (k, side), c in zip(chosen, cuts):
        t += c - prev
        prev = c
        out.append((round(t, 1), k, side))
        t += FAULT_COST[k]
    return out


def failure_cause(e, windows):
    """The fault that excuses a failed connection: one whose window
    [start, end] (the appliance down until the tunnel reopened, the WAN cut)
    the connection was alive across; None when no such fault was there."""
    return next((c for s, t, c in windows if e["start"] <= t and e["end"] >= s), None)


def unexcused_resets(resets, windows, grace=10.0):
    """RSP's resets for too many retransmissions that no fault window
    (stretched by `grace` seconds for the retransmissions still due) explains:
    while the WAN delivers some packets each way (loss, reordering, a hot
    swap), the tunnel must hold. `resets`: [(time, router, log line)]."""
    stretched = [(s, e + grace, c) for s, e, c in windows]
    return [(t, r, l) for t, r, l in resets
            if "retransmits reached" in l and not failure_cause({"start": t, "end": t}, stretched)]


class Soak:
    def __init__(self, args):
        self.a = args
        self.name = "sk%d" % (os.getpid() % 100000)
        self.work = tempfile.mkdtemp(prefix="quilo-soak.")
        os.chmod(self.work, 0o755)  # nginx's workers read as another user
        self.state = "/tmp/quilo-pair-" + self.name
        self.lock = threading.Lock()
        self.expected_down = set()
        self.procs = {}       # pid -> {"router", "start", "end", "samples": [(t, kB)], "how"}
        self.deaths = []      # unexpected: (router, pid, time)
        self.faults = []      # {"kind", "side", "start", "end", "recovered", "recovery"}
        self.problems = []
        self.children = []
        self.stop_monitor = False
        self.swapped = {"a": False, "b": False}
        self.log_pos = {}
        self.fallback = {"a": False, "b": False}
        self.resets = []      # (time, router, log line)

    def pair(self, *cmd, check=True, **kw):
        return subprocess.run([PAIR_SH, "-n", self.name, "-B", self.a.build] + list(cmd), check=check,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)

    def sock(self, r):
        return os.path.join(self.state, r + ".sock")

    def pid(self, r):
        try:
            return int(open(os.path.join(self.state, r + ".pid")).read())
        except (OSError, ValueError):
            return None

    def tunnel_open(self):
        """Probes on, bypass off, RSP open and the compressor streaming;
        an end whose RSP reset too often within a few minutes holds its
        compressor stateless (master fallback) by design, and counts as open
        with its connection."""
        for r in "ab":
            if ctl(self.sock(r), "READ", "ph.done") != "true" or \
               ctl(self.sock(r), "READ", "bypass.bypass") != "false" or \
               ctl(self.sock(r), "READ", "peer1/rsp.connection_state") != "OPEN" or \
               (ctl(self.sock(r), "READ", "peer1/comp.active_method") != "Streaming" and not self.fallback[r]):
                return False
        return True

    # -- monitoring: router liveness and resident memory, once a second
    def watch_logs(self, t):
        """Prints RSP's resets and fallbacks as the routers log them."""
        for r in ("a", "b"):
            try:
                with open(os.path.join(self.state, r + ".log"), errors="replace") as f:
                    f.seek(self.log_pos.get(r, 0))
                    text = f.read()
                    self.log_pos[r] = f.tell()
            except OSError:
                continue
            for line in text.splitlines():
                if line.startswith("=== start"):
                    self.fallback[r] = False
                if "setting master fallback" in line and "peer1/rsp" in line:
                    self.fallback[r] = True
                if "maximum retransmit" in line or "master fallback" in line:
                    self.resets.append((t - self.t0, r, line))
                    print("soak: %6.1fs    %s: %s" % (t - self.t0, r, line.strip()), flush=True)

    def monitor(self):
        while not self.stop_monitor:
            t = now()
            self.watch_logs(t)
            for r in ("a", "b", "wan"):
                pid = self.pid(r)
                with self.lock:
                    for p, info in self.procs.items():
                        if info["router"] == r and info["end"] is None and p != pid:
                            info["end"] = t
                    if pid is None:
                        continue
                    info = self.procs.setdefault(pid, {"router": r, "start": t, "end": None, "samples": []})
                    try:
                        kb = int(re.search(r"VmRSS:\s+(\d+)", open("/proc/%d/status" % pid).read()).group(1))
                        info["samples"].append((t, kb))
                    except (OSError, AttributeError):
                        if r not in self.expected_down and info["end"] is None:
                            info["end"] = t
                            self.deaths.append((r, pid, t - self.t0))
            time.sleep(1)

    def wait_open(self, limit):
        t = now()
        while now() - t < limit:
            if self.tunnel_open():
                return now()
            time.sleep(0.25)
        return None

    def restart(self, r, sig, wipe=False):
        with self.lock:
            self.expected_down.add(r)
        self.pair("stop", r, sig)
        if wipe:
            for f in os.listdir(os.path.join(self.state, "ds-" + r)):
                p = os.path.join(self.state, "ds-" + r, f)
                shutil.rmtree(p) if os.path.isdir(p) else os.unlink(p)
        self.pair("start", r)
        with self.lock:
            self.expected_down.discard(r)

    def inject(self, kind, side):
        wan = self.sock("wan")
        if kind in ("loss", "outage"):
            p = "1" if kind == "outage" else "0.1"
            for h in ("loss_ab.drop_prob", "loss_ba.drop_prob"):
                ctl(wan, "WRITE", h, p)
            time.sleep(OUTAGE_SECS if kind == "outage" else self.rnd.uniform(3, 6))
            for h in ("loss_ab.drop_prob", "loss_ba.drop_prob"):
                ctl(wan, "WRITE", h, "0")
        elif kind == "reorder":
            for h in ("reorder_ab.prob", "reorder_ba.prob"):
                ctl(wan, "WRITE", h, "0.05")
            time.sleep(self.rnd.uniform(4, 8))
            for h in ("reorder_ab.prob", "reorder_ba.prob"):
                ctl(wan, "WRITE", h, "0")
        elif kind == "swap":
            # One keyword changed, and back on the next swap of that side.
            text = open(CONF).read()
            self.swapped[side] = not self.swapped[side]
            if self.swapped[side]:
                text = text.replace("$DELAYED_ACK_MS 10", "$DELAYED_ACK_MS 20", 1)
            if ctl(self.sock(side), "WRITE", "hotconfig", text, timeout=30) is None:
                self.problems.append("hot swap of %s refused" % side)
        elif kind in ("kill", "term"):
            self.restart(side, "KILL" if kind == "kill" else "TERM")
        elif kind == "dsdel":
            self.restart(side, "TERM", wipe=True)

    def faults_thread(self, schedule):
        limit = promised_recovery()
        for at, kind, side in schedule:
            while now() < self.t0 + at:
                time.sleep(0.2)
            f = {"kind": kind, "side": side, "start": now()}
            print("soak: %6.1fs  %s%s" % (now() - self.t0, kind, " " + side if side else ""), flush=True)
            try:
                self.inject(kind, side)
            except subprocess.CalledProcessError as e:
                self.problems.append("%s %s: %s" % (kind, side, e.stderr.strip()[-300:]))
            f["end"] = now()
            f["recovered"] = self.wait_open(limit + 30)
            f["recovery"] = f["recovered"] - f["end"] if f["recovered"] else None
            self.faults.append(f)

    # -- setup and teardown
    def setup(self):
        a = self.a
        www = os.path.join(self.work, "www")
        os.makedirs(www)
        self.man, nfiles, size = make_corpus(www, a.corpus_mb, self.rnd)
        print("soak: corpus %d files, %d bytes, edited copy and %d small files" % (nfiles, size, SMALL_FILES))
        json.dump(self.man, open(os.path.join(self.work, "manifest.json"), "w"))
        self.pair("-s", str(a.ds_size), "-r", a.wan_rate, "-q", "4000", "up")
        d = self.work
        open(os.path.join(d, "nginx.conf"), "w").write(
            "worker_processes 1; daemon off; pid %s/nginx.pid; error_log %s/nginx.err;\n"
            "events { worker_connections 256; }\n"
            "http { access_log off; client_body_temp_path %s/t1; proxy_temp_path %s/t2;\n"
            "  fastcgi_temp_path %s/t3; uwsgi_temp_path %s/t4; scgi_temp_path %s/t5;\n"
            "  server { listen %s:%d; root %s; } }\n" % ((d,) * 7 + (SERVER_IP, HTTP_PORT, www)))
        bound = str(a.seconds + 600)  # every helper ends by itself, whatever happens here
        self.spawn("server", ["timeout", bound, "nginx", "-e", d + "/nginx.err", "-p", d, "-c", d + "/nginx.conf"])
        self.spawn("server", ["timeout", bound, sys.executable, __file__, "serve", "--seconds", str(a.seconds + 300)])
        for _ in range(100):
            if self.pair("exec", "client", "curl", "-sf", "-o", "/dev/null", "--max-time", "2",
                         "http://%s:%d/s/0" % (SERVER_IP, HTTP_PORT), check=False).returncode == 0:
                break
            time.sleep(0.2)
        else:
            raise RuntimeError("nginx does not answer in the server namespace")

    def spawn(self, node, cmd, **kw):
        p = subprocess.Popen([PAIR_SH, "-n", self.name, "exec", node] + cmd, stdin=subprocess.DEVNULL,
                             stdout=open(os.path.join(self.work, node + ".out"), "a"),
                             stderr=subprocess.STDOUT, start_new_session=True, **kw)
        self.children.append(p)
        return p

    def teardown(self):
        for p in self.children:
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except OSError:
                    pass
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
        self.pair(*(["--keep"] if self.a.keep else []), "down", check=False)
        if self.a.keep:
            print("soak: work directory kept in %s, pair logs in %s" % (self.work, self.state))
        else:
            shutil.rmtree(self.work, ignore_errors=True)

    def run(self):
        a = self.a
        seed = a.seed if a.seed is not None else random.SystemRandom().randrange(1 << 31)
        print("soak: seed %d (SOAK_SEED=%d replays this schedule), %d s" % (seed, seed, a.seconds), flush=True)
        self.rnd = random.Random(seed)
        schedule = plan(a.seconds, self.rnd, a.faults)
        for at, kind, side in schedule:
            print("soak:   at %6.1fs %s%s" % (at, kind, " " + side if side else ""))
        try:
            self.setup()
            self.t0 = now()
            self.wall0 = time.time()
            mon = threading.Thread(target=self.monitor)
            mon.start()
            cl = self.spawn("client", ["timeout", str(a.seconds + 900), sys.executable, __file__, "client",
                                       "--seconds", str(a.seconds), "--seed", str(seed), "--work", self.work,
                                       "--manifest", os.path.join(self.work, "manifest.json"),
                                       "--events", os.path.join(self.work, "events.jsonl"),
                                       "--rate", a.rate, "--short-period", str(a.short_period)])
            ft = threading.Thread(target=self.faults_thread, args=(schedule,))
            ft.start()
            ft.join()
            try:
                cl.wait(max(10, self.t0 + a.seconds - now() + 700))
            except subprocess.TimeoutExpired:
                self.problems.append("the client's loops did not end")
            self.t_end = now()
            self.final_open = self.wait_open(promised_recovery())
            self.stop_monitor = True
            mon.join()
            self.logs = self.collect_logs()
            if a.keep:
                json.dump({str(p): i for p, i in self.procs.items()}, open(os.path.join(self.work, "rss.json"), "w"))
            return self.report(seed)
        finally:
            self.teardown()

    def collect_logs(self):
        out = {}
        for r in ("a", "b", "wan"):
            try:
                out[r] = open(os.path.join(self.state, r + ".log"), errors="replace").read()
            except OSError:
                out[r] = ""
        return out

    # -- the checks and the summary
    def report(self, seed):
        events = [json.loads(l) for l in open(os.path.join(self.work, "events.jsonl"))]
        off = self.wall0 - self.t0  # wall clock = monotonic + off
        # Windows in which session state was lost: an appliance down (and
        # until the tunnel reopened), the WAN cut.
        windows = []
        for f in self.faults:
            if f["kind"] in ("kill", "term", "dsdel", "outage"):
                endw = f["recovered"] or f["end"] + promised_recovery()
                cause = {"kill": "appliance killed", "term": "appliance stopped", "dsdel": "appliance stopped",
                         "outage": "WAN outage"}[f["kind"]]
                windows.append((f["start"] + off, endw + off, cause))
        failures, corrupt = {}, []
        stats = {}
        for e in events:
            st = stats.setdefault(e["kind"], {"ok": 0, "failed": 0, "bytes": 0})
            if e["kind"] == "udp":
                st.update(ok=e["bytes"], failed=e["sent"] - e["bytes"], bytes=e["udp_bytes"])
                if self.wall0 + self.a.seconds - e["last_got"] > 15:
                    self.problems.append("the UDP flow had stopped %.0f s before the end" %
                                         (self.wall0 + self.a.seconds - e["last_got"]))
            elif e["ok"]:
                st["ok"] += 1
                st["bytes"] += e["bytes"]
            else:
                st["failed"] += 1
                cause = failure_cause(e, windows)
                key = (e["kind"], cause or "UNEXPLAINED")
                failures.setdefault(key, []).append(e)
                if not cause:
                    self.problems.append("%s %s failed at %.1fs with no fault to explain it (%s)" %
                                         (e["kind"], e["name"], e["end"] - off - self.t0, e["err"]))
            if e.get("corrupt"):
                corrupt.append(e)
                self.problems.append("%s %s arrived corrupted at %.1fs" % (e["kind"], e["name"],
                                                                        e["end"] - off - self.t0))
        for r, pid, t in self.deaths:
            self.problems.append("router %s (pid %d) died unexpectedly at %.1fs" % (r, pid, t))
        for r, text in self.logs.items():
            for pat in ("AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer", "runtime error:"):
                if pat in text:
                    self.problems.append("router %s logged a sanitizer report (%s)" % (r, pat))
        for t, r, l in unexcused_resets([(t + self.t0 + off, r, l) for t, r, l in self.resets], windows):
            self.problems.append("RSP of %s reset the tunnel at %.1fs with no fault to explain it" %
                                 (r, t - off - self.t0))
        mem = self.memory_check()
        limit = promised_recovery()
        for f in self.faults:
            if f["recovery"] is None or f["recovery"] > limit:
                self.problems.append("tunnel not open within %.0f s after %s%s (%s)" % (
                    limit, f["kind"], " " + f["side"] if f["side"] else "",
                    "never" if f["recovery"] is None else "%.1f s" % f["recovery"]))

        if self.final_open is None:
            self.problems.append("the tunnel is not open at the end of the run")
        print("\nsoak summary (seed %d, %d s)" % (seed, self.a.seconds))
        print("%-14s %8s %8s %14s" % ("traffic", "done", "failed", "bytes"))
        for k, label in (("download", "downloads"), ("short", "short conns"), ("interactive", "interactive"),
                         ("udp", "udp datagrams")):
            st = stats.get(k, {"ok": 0, "failed": 0, "bytes": 0})
            print("%-14s %8d %8d %14d" % (label, st["ok"], st["failed"], st["bytes"]))
        print("(interactive: sessions, bytes = messages echoed; udp: failed = lost)")
        print("corrupted transfers: %d" % len(corrupt))
        print("\n%-12s %-20s %6s" % ("failures", "cause", "count"))
        if not failures:
            print("%-12s %-20s %6d" % ("-", "-", 0))
        for (k, c), lst in sorted(failures.items()):
            print("%-12s %-20s %6d" % (k, c, len(lst)))
        print("\n%-8s %-5s %8s %8s %10s" % ("fault", "side", "at", "lasted", "recovery"))
        for f in self.faults:
            print("%-8s %-5s %7.1fs %7.1fs %10s" % (f["kind"], f["side"] or "-", f["start"] - self.t0,
                  f["end"] - f["start"], "%.1fs" % f["recovery"] if f["recovery"] is not None else "NEVER"))
        print("(recovery: from the end of the fault until the tunnel is open again; promised %.0f s)" % limit)
        print("RSP resets after too many retransmissions: a %d, b %d; master fallbacks: %d" % (
            sum(1 for _, r, l in self.resets if r == "a" and "retransmits reached" in l),
            sum(1 for _, r, l in self.resets if r == "b" and "retransmits reached" in l),
            sum(1 for _, r, l in self.resets if "setting master fallback" in l and "rsp" in l)))
        print("\n%-6s %7s %8s %10s %10s %7s" % ("router", "pid", "lived", "RSS q1", "RSS last", "growth"))
        for line in mem:
            print(line)
        print()
        if self.problems:
            for p in self.problems:
                print("soak: FAIL: " + p)
            return 1
        print("soak: every check passed")
        return 0

    def memory_check(self):
        lines = []
        span = self.t_end - self.t0
        for pid, info in sorted(self.procs.items(), key=lambda kv: kv[1]["start"]):
            s = info["samples"]
            if not s:
                continue
            start, end = s[0][0], s[-1][0]
            lived = end - start
            if lived < span / 2:
                lines.append("%-6s %7d %7.0fs %10s %10s %7s" % (info["router"], pid, lived, "-", "-", "-"))
                continue
            q = min(s, key=lambda x: abs(x[0] - (start + lived / 4)))[1]
            # While a hot swap installs the new configuration, the old one
            # still holds its memory: a peak of a second or two, not growth.
            swaps = [(f["start"], f["end"] + SWAP_SETTLE_SECS) for f in self.faults
                     if f["kind"] == "swap" and f["side"] == info["router"]]
            settled = [kb for t, kb in s if t >= end - 60 and not any(a <= t <= b for a, b in swaps)]
            last = max(settled) if settled else s[-1][1]
            growth = last / q - 1
            lines.append("%-6s %7d %7.0fs %8d kB %7d kB %6.1f%%" % (info["router"], pid, lived, q, last,
                                                                    100 * growth))
            if growth > 0.10:
                self.problems.append("router %s (pid %d) grew %.1f%% (%d kB to %d kB)" %
                                     (info["router"], pid, 100 * growth, q, last))
        return lines


def main():
    ap = argparse.ArgumentParser(description="Soak of the appliance pair under faults.")
    ap.add_argument("mode", nargs="?", default="run", choices=["run", "serve", "client"])
    ap.add_argument("--seconds", type=int, default=int(os.environ.get("SOAK_SECONDS", "600")))
    ap.add_argument("--seed", type=int, default=int(os.environ["SOAK_SEED"]) if os.environ.get("SOAK_SEED") else None)
    ap.add_argument("--build", default=os.environ.get("SOAK_BUILD", os.path.join(SRC, "build")))
    ap.add_argument("--keep", action="store_true", help="keep the work directory and the pair's logs")
    ap.add_argument("--corpus-mb", type=int, default=None, help="corpus size (4 MB, 2 MB under 5 minutes)")
    ap.add_argument("--ds-size", type=int, default=8, help="datastore size of each appliance in MB (8)")
    ap.add_argument("--wan-rate", default="20Mbps")
    ap.add_argument("--rate", default="1500k", help="each download's rate limit (curl --limit-rate)")
    ap.add_argument("--short-period", type=float, default=0.5, help="seconds between short connections, per loop")
    ap.add_argument("--faults", help="the faults to inject, e.g. outage,kill:a (default: as many kinds as fit)")
    ap.add_argument("--work")
    ap.add_argument("--manifest")
    ap.add_argument("--events")
    a = ap.parse_args()
    if a.mode == "serve":
        return serve(a)
    if a.mode == "client":
        return client(a)
    if os.geteuid() != 0:
        sys.exit("soak: needs root (network namespaces)")
    for tool in ("nginx", "curl", "ip"):
        if not shutil.which(tool):
            sys.exit("soak: '%s' is missing (make deps)" % tool)
    if not os.access(os.path.join(a.build, "bin", "quilo-router"), os.X_OK):
        sys.exit("soak: no %s/bin/quilo-router (build first)" % a.build)
    a.build = os.path.abspath(a.build)
    if a.corpus_mb is None:
        a.corpus_mb = 4 if a.seconds >= 300 else 2
    return Soak(a).run()


if __name__ == "__main__":
    sys.exit(main())

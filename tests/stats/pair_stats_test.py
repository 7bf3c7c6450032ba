#!/usr/bin/env python3
"""quilo-stats watching an appliance pair (scripts/pair.sh --stats).

pair_stats_test.py SOURCE_DIR BUILD_DIR

A text file crosses the pair twice (cold, then warm byte cache). Then:
/metrics, parsed by prometheus_client's text parser, has HELP and TYPE for
every family and counters that match the handlers read directly from the
control sockets; the dashboard, rendered by headless Chromium, draws its
charts from data that match /api, logs nothing to the console, and leaves a
screenshot in BUILD_DIR/stats_dashboard.png. Root only (exit 77 otherwise).
"""
import glob
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SRC, BUILD = sys.argv[1], sys.argv[2]
PAIR = os.path.join(SRC, "scripts", "pair.sh")
NAME = "qs%d" % (os.getpid() % 100000)
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync"]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, flush=True)


def pair(*args, check_rc=True):
    r = subprocess.run([PAIR, "-B", BUILD, "-n", NAME] + list(args), capture_output=True, text=True, timeout=200)
    if check_rc and r.returncode != 0:
        raise RuntimeError("pair.sh %s: %s%s" % (" ".join(args), r.stdout, r.stderr))
    return r.stdout


def read_handlers(router, handlers):
    """Values of handlers read through the router's Unix control socket."""
    s = socket.socket(socket.AF_UNIX)
    s.settimeout(5)
    s.connect("/tmp/quilo-pair-%s/%s.sock" % (NAME, router))
    s.sendall("".join("READ %s\n" % h for h in handlers).encode())
    f = s.makefile("rb")
    f.readline()  # banner
    out = {}
    for h in handlers:
        status = f.readline().decode()
        if not status.startswith("200"):
            continue
        n = int(f.readline().decode().split()[1])
        out[h] = float(f.read(n).decode().strip())
    s.close()
    return out


def get(url):
    with urllib.request.urlopen(url, timeout=5) as r:
        return r.read().decode()


def transfer(path, port):
    server = subprocess.Popen([PAIR, "-n", NAME, "exec", "server", "timeout", "60", "socat", "-u",
                               "FILE:" + path, "TCP-LISTEN:%d,reuseaddr" % port])
    time.sleep(0.5)
    out = path + ".got"
    subprocess.run([PAIR, "-n", NAME, "exec", "client", "timeout", "60", "socat", "-u",
                    "TCP:10.77.0.2:%d" % port, "CREATE:" + out], check=True, timeout=70)
    server.wait(70)
    same = open(path, "rb").read() == open(out, "rb").read()
    os.unlink(out)
    return same


# Counters of /metrics on appliance a and the handlers they add up.
COMPARED = {
    ("quilo_lan_bytes", "tx"): ["peer1/lan_tx.byte_count"],
    ("quilo_lan_bytes", "rx"): ["peer1/lan_rx.byte_count"],
    ("quilo_lan_packets", "rx"): ["peer1/lan_rx.count"],
    ("quilo_wan_bytes", "tx"): ["peer1/wan_tx.byte_count", "peer1/wan_tx_own.byte_count"],
    ("quilo_wan_bytes", "rx"): ["peer1/wan_rx.byte_count"],
    ("quilo_wan_packets", "tx"): ["peer1/wan_tx.count", "peer1/wan_tx_own.count"],
}
# Per-element counters: appliance, handler, family, labels.
PER_ELEMENT = [
    ("a", "peer1/rsp.tx_retransmit_count", "quilo_rsp_retransmits", {"kind": "timeout"}),
    ("b", "peer1/dd.encode_bytes_in", "quilo_bytecache_input_bytes", {"element": "peer1/dd"}),
    ("b", "peer1/dd.encoded", "quilo_bytecache_packets", {"result": "encoded"}),
    ("a", "to_wan.drops", "quilo_drops", {"element": "to_wan"}),
]


def check_metrics(base):
    from prometheus_client.parser import text_string_to_metric_families

    def snapshot():
        hs = {r: [h for a, h, _, _ in PER_ELEMENT if a == r] for r in ("a", "b")}
        hs["a"] += [h for v in COMPARED.values() for h in v]
        return {r: read_handlers(r, sorted(set(v))) for r, v in hs.items()}

    before = snapshot()
    time.sleep(1.3)  # a poll after `before`
    text = get(base + "/metrics")
    after = snapshot()
    for line in text.splitlines():
        if line.startswith("quilo_") and "{" in line:
            fam = line.split("{")[0]
            check("# HELP %s " % fam in text and "# TYPE %s " % fam in text, "HELP and TYPE for " + fam)
    fams = {f.name: f for f in text_string_to_metric_families(text)}
    check(fams["quilo_up"].type == "gauge" and fams["quilo_lan_bytes"].type == "counter", "types")

    def value(fam, **labels):
        for s in fams[fam].samples:
            if fams[fam].type != "counter" or s.name.endswith("_total"):
                if all(s.labels.get(k) == v for k, v in labels.items()):
                    return s.value
        return None

    check(value("quilo_up", appliance="a") == 1 and value("quilo_up", appliance="b") == 1, "both up")
    check(value("quilo_tunnel_up", appliance="a", peer="1") == 1, "tunnel up")
    rtt = value("quilo_peer_rtt_seconds", appliance="a", peer="1")
    # 5 ms each way: at least 10 ms, which the handler gives in whole ms.
    check(rtt is not None and 0.01 <= rtt < 1, "round trip in seconds: %s" % rtt)
    for (fam, direction), hs in COMPARED.items():
        got = value(fam, appliance="a", peer="1", direction=direction)
        lo, hi = sum(before["a"].get(h, -1) for h in hs), sum(after["a"].get(h, -1) for h in hs)
        check(got is not None and lo <= got <= hi, "%s %s: %s, handlers %s..%s" % (fam, direction, got, lo, hi))
    for app, h, fam, labels in PER_ELEMENT:
        got = value(fam, appliance=app, **labels)
        lo, hi = before[app].get(h), after[app].get(h)
        check(got is not None and lo is not None and lo <= got <= hi, "%s: %s, handler %s..%s" % (fam, got, lo, hi))
    # The warm pass found the file in b's byte cache: it sent far fewer bytes.
    lan = value("quilo_lan_bytes", appliance="b", peer="1", direction="tx")
    wan = value("quilo_wan_bytes", appliance="b", peer="1", direction="tx")
    check(lan > 2 * CORPUS and wan < 0.75 * lan, "b sent %s LAN bytes as %s WAN bytes" % (lan, wan))


def chromium(args, tmp):
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    r = subprocess.run([exe] + CHROMIUM_FLAGS + ["--user-data-dir=" + tempfile.mkdtemp(dir=tmp),
                                                  "--enable-logging=stderr", "--v=0"] + args,
                       capture_output=True, text=True, timeout=90)
    console = [l for l in r.stderr.splitlines() if ":CONSOLE" in l]
    return r.returncode, r.stdout, console


def check_page(base, tmp):
    url = base + "/?range=300"
    rc, dom, console = chromium(["--window-size=1400,1500", "--virtual-time-budget=4000", "--dump-dom", url], tmp)
    check(rc == 0 and "</html>" in dom, "chromium rendered the page (rc %d)" % rc)
    check(not console, "console messages: %s" % console)
    start = dom.find('<pre id="quilo-data" hidden="">')
    check(start >= 0, "the page's data block")
    state = json.loads(dom[dom.index(">", start) + 1:dom.index("</pre>", start)].replace("&quot;", '"'))
    check('id="errors"></div>' in dom, "the page shows no errors")
    check("2 of 2 appliances up" in dom, "status line")
    for chart in ("throughput-tx", "throughput-rx", "reduction", "rtt", "retransmits", "bytecache"):
        for app in ("a", "b"):
            # Reduction has values only while traffic flows; the rest every
            # second (a few, however slowly the page's sampling ran).
            c = state["charts"].get("%s/1/%s" % (app, chart))
            least = 2 if chart == "reduction" else 5
            check(c and c["points"] >= least, "chart %s/%s drawn with points: %s" % (app, chart, c))
    check(dom.count("<path ") >= 12, "SVG lines drawn")
    # The totals shown are the history's values at the same second.
    metrics = "&".join("metric=" + m for m in ("quilo_lan_bytes_total", "quilo_wan_bytes_total"))
    h = json.loads(get("%s/api/history?range=%d&%s" % (base, state["range"], metrics)))
    for key, tot in state["totals"].items():
        app, peer, direction = key.split("/")
        series = {s["metric"]: s for a in h["appliances"] if a["name"] == app for s in a["series"]
                  if s["labels"] == {"peer": peer, "direction": direction}}
        i = (tot["t"] - h["start"]) // h["step"]
        check(tot["t"] is not None and 0 <= i and
              series["quilo_lan_bytes_total"]["values"][i] == tot["lan"] and
              series["quilo_wan_bytes_total"]["values"][i] == tot["wan"],
              "page totals %s %s match /api" % (key, tot))
    check(len(state["totals"]) == 4, "totals of both directions on both appliances")
    shot = os.path.join(BUILD, "stats_dashboard.png")
    rc, _, console = chromium(["--window-size=1400,1500", "--virtual-time-budget=4000", "--screenshot=" + shot, url],
                              tmp)
    check(rc == 0 and os.path.getsize(shot) > 20000 and not console, "screenshot %s" % shot)


CORPUS = 0


def main():
    global CORPUS
    if os.geteuid() != 0:
        print("skipped: needs root for the pair's namespaces")
        sys.exit(77)
    for tool in ("socat", "ethtool", "chromium"):
        if not shutil.which(tool):
            print("skipped: needs " + tool)
            sys.exit(77)
    tmp = tempfile.mkdtemp(prefix="quilo-stats-test.")
    try:
        corpus = os.path.join(tmp, "corpus")
        with open(corpus, "wb") as f:
            for p in sorted(glob.glob(os.path.join(SRC, "package", "*", "*.cc")))[:60]:
                f.write(open(p, "rb").read())
        CORPUS = os.path.getsize(corpus)
        up = pair("-r", "20Mbps", "-d", "5ms", "--wait-secs", "60", "--stats", "127.0.0.1:0", "up")
        base = next(l.split("=", 1)[1] for l in up.splitlines() if l.startswith("PAIR_STATS=")).rstrip("/")
        check(transfer(corpus, 9100), "cold pass")
        time.sleep(2)
        check(transfer(corpus, 9101), "warm pass")
        time.sleep(3)
        check_metrics(base)
        check_page(base, tmp)
        # An appliance going away is shown down, and up again once back.
        pair("stop", "b", "KILL")
        time.sleep(2.5)
        apps = {a["name"]: a for a in json.loads(get(base + "/api/appliances"))["appliances"]}
        check(not apps["b"]["up"] and apps["a"]["up"], "b down while stopped: %s" % apps["b"])
        pair("start", "b")
        deadline = time.time() + 10
        while time.time() < deadline:
            apps = {a["name"]: a for a in json.loads(get(base + "/api/appliances"))["appliances"]}
            if apps["b"]["up"]:
                break
            time.sleep(0.5)
        check(apps["b"]["up"], "b picked up again: %s" % apps["b"])
    finally:
        pair("down", check_rc=False)
        shutil.rmtree(tmp, ignore_errors=True)
    if failures:
        print("%d failures" % len(failures))
        sys.exit(1)
    print("pair stats test passed")


if __name__ == "__main__":
    main()

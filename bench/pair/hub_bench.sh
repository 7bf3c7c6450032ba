#!/usr/bin/env bash
# A hub serving eight spokes (scripts/pair.sh -H 8), against a single pair
# measured in the same run.
#
#   memory  the hub's resident memory (anonymous, and file-backed: the
#           datastores' mapped pages) with its tunnels open and idle, and
#           again after every spoke has downloaded BENCH_MB of unique
#           bytes: per branch, (hub - single pair's B) / (spokes - 1) after
#           the same traffic, with the byte-cache index estimated apart
#           from each datastore's capacity (about 20 bytes a record). Goal: under
#           32 MB per branch without the index.
#   cpu     the hub's CPU seconds (user + system) per MB carried for those
#           downloads (all spokes at once), against B of the single pair
#           carrying the same bytes.
#   reopen  the hub is stopped and started again: seconds from its start
#           until the tunnels to all spokes are open. Goal: POLL_SECS (10)
#           + 5 s.
#
# Usage: bench/pair/hub_bench.sh [BUILD_DIR]     (needs root; run it under
#        flock /work/bench.lock on a shared machine)
# Environment:
#   BENCH_SPOKES   spokes of the hub (8)
#   BENCH_MB       MB each spoke downloads (8)
#   BENCH_DS_SIZE  datastore size per peer in MB (64)
#   BENCH_RATE     each WAN's rate ("0": unlimited, the default)
set -euo pipefail

SRC_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:-$SRC_DIR/build}" 2>/dev/null && pwd) || { echo "hub_bench: no build directory ${1:-build}" >&2; exit 1; }
SPOKES=${BENCH_SPOKES:-8}
MB=${BENCH_MB:-8}
DS=${BENCH_DS_SIZE:-64}
RATE=${BENCH_RATE:-0}
[ "$(id -u)" -eq 0 ] || { echo "hub_bench: needs root (network namespaces)" >&2; exit 1; }

PAIR_SH=$SRC_DIR/scripts/pair.sh
WORK=$(mktemp -d /tmp/quilo-hubbench.XXXXXX)
HUB=hb$$ PAIR=hp$$
cleanup() {
  "$PAIR_SH" -n "$HUB" down >/dev/null 2>&1 || true
  "$PAIR_SH" -n "$PAIR" down >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

for k in $(seq 1 "$SPOKES"); do head -c $((MB << 20)) /dev/urandom >"$WORK/f$k"; done

# kb NAME ROUTER FIELD: a /proc/PID/status field of a router, in kB.
kb() { awk -v f="$3:" '$1 == f { print $2 }' "/proc/$(cat "/tmp/quilo-pair-$1/$2.pid")/status"; }
# cpu NAME ROUTER: the router's user + system time in clock ticks.
cpu() { awk '{ print $14 + $15 }' "/proc/$(cat "/tmp/quilo-pair-$1/$2.pid")/stat"; }
# fetch NAME CLIENT FILE PORT: the client downloads FILE from the server.
fetch() {
  "$PAIR_SH" -n "$1" exec server timeout 120 socat -u "OPEN:$3,rdonly" "TCP-LISTEN:$4,reuseaddr" &
  local l=$!
  sleep 0.3
  "$PAIR_SH" -n "$1" exec "$2" timeout 120 socat -u "TCP:10.77.0.2:$4,retry=50,interval=0.1" "CREATE:$3.got-$2"
  wait "$l"
  cmp -s "$3" "$3.got-$2" || { echo "hub_bench: $2's copy of $3 differs" >&2; exit 1; }
}
# index_kb NAME ROUTER BRANCH: the byte-cache index of a datastore, in kB.
index_kb() { echo $(($("$PAIR_SH" -n "$1" handler "$2" "$3/dd.ds_capacity") * 20 / 1024)); }

tick=$(getconf CLK_TCK)
echo "hub_bench: $SPOKES spokes, $MB MB each, DS_SIZE $DS, rate $RATE; load: $(uptime | sed 's/.*load/load/')"

# The single pair first: B carries all the bytes one spoke would, times the spokes.
"$PAIR_SH" -n "$PAIR" -r "$RATE" -s "$DS" up >/dev/null
c0=$(cpu "$PAIR" b)
for k in $(seq 1 "$SPOKES"); do fetch "$PAIR" client "$WORK/f$k" $((7000 + k)); done
c1=$(cpu "$PAIR" b)
pair_anon=$(kb "$PAIR" b RssAnon) pair_file=$(kb "$PAIR" b RssFile)
pair_index=$(index_kb "$PAIR" b peer1)
"$PAIR_SH" -n "$PAIR" down >/dev/null

"$PAIR_SH" -n "$HUB" -H "$SPOKES" -r "$RATE" -s "$DS" --wait-secs 120 up >/dev/null
idle_anon=$(kb "$HUB" b RssAnon)
h0=$(cpu "$HUB" b)
for k in $(seq 1 "$SPOKES"); do fetch "$HUB" "client$k" "$WORK/f$k" $((7000 + k)) & done
wait
h1=$(cpu "$HUB" b)
hub_anon=$(kb "$HUB" b RssAnon) hub_file=$(kb "$HUB" b RssFile)
hub_index=0
for k in $(seq 1 "$SPOKES"); do hub_index=$((hub_index + $(index_kb "$HUB" b "peer$k"))); done

total=$((SPOKES * MB))
awk -v s="$SPOKES" -v pa="$pair_anon" -v pf="$pair_file" -v pi="$pair_index" -v ia="$idle_anon" \
    -v ha="$hub_anon" -v hf="$hub_file" -v hi="$hub_index" 'BEGIN {
  per = (ha - pa) / (s - 1) / 1024; idx = (hi / s) / 1024
  printf "memory: single pair B anon %.1f MB file %.1f MB; hub anon idle %.1f MB, after traffic %.1f MB, file %.1f MB\n",
         pa / 1024, pf / 1024, ia / 1024, ha / 1024, hf / 1024
  printf "memory: per branch %.1f MB anonymous, of which index about %.1f MB: %.1f MB without it (goal < 32 MB: %s)\n",
         per, idx, per - idx, per - idx < 32 ? "met" : "missed" }'
awk -v t="$tick" -v mb="$total" -v p=$((c1 - c0)) -v h=$((h1 - h0)) 'BEGIN {
  printf "cpu: single pair B %.3f s/MB, hub %.3f s/MB over %d MB (hub / pair %.2f)\n",
         p / t / mb, h / t / mb, mb, p ? h / p : 0 }'

# Polls the control sockets directly (pair.sh starts a shell and a Python
# per handler call, too slow to time this on a loaded machine): prints the
# seconds from the hub's start until RSP is OPEN at both ends of every
# tunnel, then until every compressor streams again, and on the way until
# the hub's control socket answered and until the first tunnel was open.
reopen() {
  python3 - "/tmp/quilo-pair-$HUB" "$SPOKES" "$1" <<'PY'
import socket, sys, time
state, n, t0 = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
def read(router, handler):
    try:
        s = socket.socket(socket.AF_UNIX); s.settimeout(5); s.connect("%s/%s.sock" % (state, router))
        f = s.makefile("rb"); f.readline()
        s.sendall(b"READ %s\n" % handler.encode())
        st = f.readline()
        while len(st) > 3 and st[3:4] == b"-":
            st = f.readline()
        if not st.startswith(b"200"):
            return ""
        k = int(f.readline()[5:]); v = f.read(k).decode().strip(); s.close(); return v
    except (OSError, ValueError):
        return ""
opened = up = first = None
while time.time() - t0 < 120:
    hub = [read("b", "peer%d/rsp.connection_state" % k) for k in range(1, n + 1)]
    if up is None and any(hub):
        up = time.time() - t0
    each = [hub[k - 1] == "OPEN" and read("a%d" % k, "peer1/rsp.connection_state") == "OPEN"
            for k in range(1, n + 1)]
    if any(each) and first is None:
        first = time.time() - t0
    rsp = all(each)
    if rsp and opened is None:
        opened = time.time() - t0
    if rsp and all(read("b", "peer%d/comp.active_method" % k) == "Streaming" and
                   read("a%d" % k, "peer1/comp.active_method") == "Streaming" for k in range(1, n + 1)):
        print("%.1f %.1f %.1f %.1f" % (opened, time.time() - t0, up, first)); sys.exit(0)
    time.sleep(0.2)
print("none none none none")
PY
}
"$PAIR_SH" -n "$HUB" stop b
t0=$(date +%s.%N)
"$PAIR_SH" -n "$HUB" start b
read -r t_rsp t_stream t_up t_first < <(reopen "$t0")
awk -v r="$t_rsp" -v c="$t_stream" -v s="$SPOKES" -v u="$t_up" -v f="$t_first" 'BEGIN {
  printf "reopen: after the hub restarted, RSP open at both ends of all %d tunnels in %s s, every compressor streaming in %s s (goal 15 s: %s)\n",
         s, r, c, c != "none" && c + 0 <= 15 ? "met" : "missed"
  printf "reopen: the hub answered on its control socket after %s s, the first tunnel was open after %s s\n", u, f }'

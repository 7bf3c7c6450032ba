#!/usr/bin/env bash
# The demonstration behind "make run": an appliance pair in network
# namespaces (scripts/pair.sh) between a client and a server over an
# emulated WAN; a corpus of real files from this machine is fetched from the
# server twice, cold and then warm, and a report is printed for each pass.
#
#   scripts/demo.sh [BUILD_DIR]
#
# Environment: DEMO_MB (corpus size, 50), DEMO_RATE (20Mbps), DEMO_DELAY
# (20ms each way), DEMO_LOSS (0), DEMO_QUEUE (WAN emulator queue, 1000
# packets, pair.sh's default and Linux's usual txqueuelen),
# DEMO_CONF (conf/appliance.click), DEMO_DEFINES (NAME=value settings for
# both appliances, space-separated, e.g. "DEDUP_LEVEL=4 COMPRESSOR=4"),
# DEMO_DEBUG (set: print the appliances' byte-cache and tunnel counters),
# DEMO_STATS (HOST:PORT of the dashboard, quilo-stats, watching both
# appliances: 127.0.0.1:9180, or any free port when that one is taken).
# From a terminal, the demonstration keeps the pair and the dashboard up
# after the passes until Enter is pressed.
# Needs root for the namespaces; otherwise it says so (or uses sudo when
# that works without a password).
set -euo pipefail

SRC_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(cd "${1:-build}" 2>/dev/null && pwd) || { echo "demo: no build directory ${1:-build}" >&2; exit 1; }
DEMO_MB=${DEMO_MB:-50}
DEMO_RATE=${DEMO_RATE:-20Mbps}
DEMO_DELAY=${DEMO_DELAY:-20ms}
DEMO_LOSS=${DEMO_LOSS:-0}
DEMO_QUEUE=${DEMO_QUEUE:-1000}
DEMO_CONF=${DEMO_CONF:-$SRC_DIR/conf/appliance.click}

if [ "$(id -u)" -ne 0 ]; then
  if sudo -n true 2>/dev/null; then
    exec sudo -n env DEMO_MB="$DEMO_MB" DEMO_RATE="$DEMO_RATE" DEMO_DELAY="$DEMO_DELAY" \
      DEMO_LOSS="$DEMO_LOSS" DEMO_QUEUE="$DEMO_QUEUE" DEMO_CONF="$DEMO_CONF" \
      DEMO_DEFINES="${DEMO_DEFINES:-}" DEMO_STATS="${DEMO_STATS:-}" "$0" "$BUILD"
  fi
  cat >&2 <<EOF
demo: the demonstration builds network namespaces and needs root.
Run it as root:   sudo make run        (or: sudo scripts/demo.sh $BUILD)
What it does: two appliances, a WAN emulator (${DEMO_RATE}, ${DEMO_DELAY} each way), a client
and a server in namespaces; a ${DEMO_MB} MB corpus fetched twice through the pair.
EOF
  exit 1
fi

for t in ip ethtool python3 curl sha256sum tar; do
  command -v "$t" >/dev/null || { echo "demo: '$t' is missing (make deps)" >&2; exit 1; }
done

PAIR="$SRC_DIR/scripts/pair.sh -B $BUILD"
NAME=qd$$
WORK=$(mktemp -d /tmp/quilo-demo.XXXXXX)
SERVER_PID=

cleanup() {
  [ -z "$SERVER_PID" ] || kill "$SERVER_PID" 2>/dev/null || true
  $PAIR -n "$NAME" down 2>/dev/null || true
  rm -rf "$WORK"
}
trap 'rc=$?; trap - EXIT INT TERM; cleanup; exit $rc' EXIT
trap 'exit 130' INT TERM

# --- corpus: real files of this machine, about DEMO_MB megabytes, in one tar
echo "demo: collecting a ${DEMO_MB} MB corpus from /usr"
mkdir -p "$WORK/www"
find /usr/bin /usr/share/doc /usr/lib/x86_64-linux-gnu /usr/include /usr/share /usr/lib \
    -xdev -type f -size +0 -size -8M -readable -printf '%s %p\n' 2>/dev/null | awk '!seen[$2]++' |
  awk -v max=$((DEMO_MB * 1048576)) '
    total + $1 <= max { total += $1; sub(/^[0-9]+ /, ""); print }
    total >= max * 0.99 { exit }' >"$WORK/files" || true
tar -cf "$WORK/www/corpus.tar" --files-from="$WORK/files" --no-recursion 2>/dev/null || true
CORPUS_BYTES=$(stat -c %s "$WORK/www/corpus.tar")
CORPUS_SHA=$(sha256sum "$WORK/www/corpus.tar" | cut -d' ' -f1)
echo "demo: corpus $(wc -l <"$WORK/files") files, $CORPUS_BYTES bytes"

# --- topology
echo "demo: building the pair (WAN ${DEMO_RATE}, ${DEMO_DELAY} each way, loss ${DEMO_LOSS})"
defs=()
for d in ${DEMO_DEFINES:-}; do defs+=(-D "$d"); done
# The dashboard: on DEMO_STATS, or any free port when that one is taken.
STATS_ADDR=${DEMO_STATS:-127.0.0.1:9180}
if [ -z "${DEMO_STATS:-}" ] && python3 -c 'import socket,sys; s=socket.socket(); s.bind(("127.0.0.1", 9180))' 2>/dev/null; then :
elif [ -z "${DEMO_STATS:-}" ]; then STATS_ADDR=127.0.0.1:0; fi
up_out=$($PAIR -n "$NAME" -c "$DEMO_CONF" -r "$DEMO_RATE" -d "$DEMO_DELAY" -l "$DEMO_LOSS" -q "$DEMO_QUEUE" \
  --stats "$STATS_ADDR" ${defs[@]+"${defs[@]}"} up)
STATS_URL=$(sed -n 's/^PAIR_STATS=//p' <<<"$up_out")
echo "demo: dashboard at $STATS_URL (both appliances; metrics at ${STATS_URL}metrics)"
# scripts/serve.py sends each file with full-size segments, the same on every
# pass, so the warm pass meets the data at the alignment the cold pass cached.
$PAIR -n "$NAME" exec server python3 "$SRC_DIR/scripts/serve.py" -b 10.77.0.2 -p 8080 -d "$WORK/www" \
  >"$WORK/http.log" 2>&1 &
SERVER_PID=$!
for _ in $(seq 1 50); do
  $PAIR -n "$NAME" exec client curl -s -o /dev/null http://10.77.0.2:8080/ 2>/dev/null && break
  sleep 0.2
done

lan_rx() { $PAIR -n "$NAME" exec client cat /sys/class/net/eth0/statistics/rx_bytes; }
wan_ba() { $PAIR -n "$NAME" handler wan bytes_ba.byte_count; }
rtx() {
  local n=0 r h v
  for r in a b; do
    for h in peer1/rsp.tx_retransmit_count peer1/rsp.tx_fast_retransmit_count; do
      v=$($PAIR -n "$NAME" handler "$r" "$h" 2>/dev/null || echo 0)
      n=$((n + v))
    done
  done
  echo $n
}

printf '\n%-5s %12s %12s %10s %9s %13s %8s  %s\n' pass "LAN bytes" "WAN bytes" reduction time goodput "RSP rtx" SHA-256
pass() {
  local label=$1 lan0 wan0 rtx0 lan1 wan1 rtx1 out t sha ok
  lan0=$(lan_rx) wan0=$(wan_ba) rtx0=$(rtx)
  out=$($PAIR -n "$NAME" exec client curl -sf -o "$WORK/got.tar" -w '%{time_total}' \
        --max-time 900 http://10.77.0.2:8080/corpus.tar) || { echo "demo: the $label transfer failed" >&2; return 1; }
  t=$out
  sleep 0.3
  lan1=$(lan_rx) wan1=$(wan_ba) rtx1=$(rtx)
  sha=$(sha256sum "$WORK/got.tar" | cut -d' ' -f1)
  ok=mismatch
  [ "$sha" = "$CORPUS_SHA" ] && ok=match
  awk -v l="$label" -v lan=$((lan1 - lan0)) -v wan=$((wan1 - wan0)) -v t="$t" -v n="$CORPUS_BYTES" \
      -v r=$((rtx1 - rtx0)) -v ok="$ok" 'BEGIN {
    red = lan > 0 ? 100 * (1 - wan / lan) : 0
    printf "%-5s %12d %12d %9.1f%% %8.2fs %8.2f Mbit/s %6d  %s\n", l, lan, wan, red, t, n * 8 / t / 1e6, r, ok }'
  rm -f "$WORK/got.tar"
  if [ -n "${DEMO_DEBUG:-}" ]; then
    local r h
    for r in a b; do
      for h in peer1/dd.encode_bytes_in peer1/dd.encode_bytes_out peer1/dd.encoded peer1/dd.missing_syncs peer1/comp.compressed \
               peer1/comp.active_method peer1/rsp.tx_queue_full_count; do
        echo "  $r.$h $($PAIR -n "$NAME" handler "$r" "$h")"
      done
    done
    echo "  wan packets $($PAIR -n "$NAME" handler wan bytes_ba.count) drops $($PAIR -n "$NAME" handler wan q_ba.drops)"
  fi
  [ "$ok" = match ]
}
status=0
pass cold || status=1
pass warm || status=1
echo
echo "LAN bytes: whole frames the client received; WAN bytes: whole frames the WAN"
echo "emulator delivered towards the client; reduction = 1 - WAN/LAN; goodput = corpus"
echo "bytes / transfer time; RSP rtx: packets the tunnel retransmitted (both ends)."
if [ -t 0 ] && [ -t 1 ]; then
  echo
  echo "demo: the dashboard at $STATS_URL shows both passes; press Enter to stop the pair."
  read -r _ || true
fi
exit $status

#!/usr/bin/env bash
# The appliance pair on lossy links, with parity (FEC) and stacking, against
# baselines measured in the same run (scripts/pair.sh topology, WAN of
# BENCH_RATE and BENCH_DELAY each way).
#
#   lossy   at each loss rate of BENCH_LOSSES (random loss, each way): a
#           corpus of real files (BENCH_MB) fetched twice, cold then warm,
#           through plain bridges, the pair with FEC=0 and the pair with
#           FEC=1. Goals: cold pass at least as fast as the bridges, warm
#           pass at least 3 times as fast, every transfer intact.
#   fec     1% loss (BENCH_FEC_LOSS), one pair, parity switched off and on
#           (peer1/fecsw on both appliances): a 20 MB transfer of incompressible, unique bytes
#           (time, RSP retransmissions, WAN bytes) and 200 sequential 20 KB
#           fetches on one connection (median and 95th percentile). Goals
#           with parity: at most half the retransmissions, the 20 MB
#           transfer no longer, at most 25% more WAN bytes.
#   stack   10 flows of 160-byte UDP datagrams, 50 a second each, through a
#           pair with STACKER=0 and then one with STACKER=1 and
#           STACK_WAIT_MS=BENCH_STACK_WAIT (UDP routes both ways). Goals: at
#           most 0.35 WAN packets per LAN packet, one-way delay at its 95th
#           percentile at most BENCH_STACK_WAIT + 2 ms above the median
#           without stacking.
#
# Usage: bench/pair/loss_bench.sh [BUILD_DIR]     (needs root)
# Environment:
#   BENCH_CASES    sections to run ("lossy fec stack")
#   BENCH_LOSSES   loss rates of the lossy section ("0.01 0.05")
#   BENCH_LOSSY    cases of the lossy section ("bridge fec0 fec1")
#   BENCH_MB       corpus size in MB (40)
#   BENCH_RATE     WAN rate (20Mbps)      BENCH_DELAY  WAN delay each way (20ms)
#   BENCH_QUEUE    WAN queue in packets (1000)
#   BENCH_DEFINES  extra NAME=VALUE defines for both appliances
#   BENCH_FEC_DEFINES  defines of the fec section (e.g. FEC_GROUP=4)
#   BENCH_FEC_LOSS     loss rate of the fec section (0.01)
#   BENCH_STACK_SECS   length of each stacking run in seconds (10)
#   BENCH_STACK_WAIT   STACK_WAIT_MS of the stacking run (50: sparse
#                      datagrams need a longer wait than the reference's)
#   BENCH_TIMEOUT  longest single transfer in seconds (300)
set -euo pipefail

SRC_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:-$SRC_DIR/build}" 2>/dev/null && pwd) || { echo "loss_bench: no build directory ${1:-build}" >&2; exit 1; }
CASES=${BENCH_CASES:-lossy fec stack}
LOSSES=${BENCH_LOSSES:-0.01 0.05}
LOSSY=${BENCH_LOSSY:-bridge fec0 fec1}
MB=${BENCH_MB:-40}
RATE=${BENCH_RATE:-20Mbps}
DELAY=${BENCH_DELAY:-20ms}
QUEUE=${BENCH_QUEUE:-1000}
TIMEOUT=${BENCH_TIMEOUT:-300}
STACK_SECS=${BENCH_STACK_SECS:-10}
STACK_WAIT=${BENCH_STACK_WAIT:-50}
read -ra EXTRA <<<"${BENCH_DEFINES:-}"
read -ra FEC_DEFS <<<"${BENCH_FEC_DEFINES:-}"
FEC_LOSS=${BENCH_FEC_LOSS:-0.01}

[ "$(id -u)" -eq 0 ] || { echo "loss_bench: needs root (network namespaces)" >&2; exit 1; }
[ -x "$BUILD/bin/quilo-router" ] || { echo "loss_bench: no $BUILD/bin/quilo-router (build first)" >&2; exit 1; }
for t in ip ethtool python3 curl sha256sum tar awk; do
  command -v "$t" >/dev/null || { echo "loss_bench: '$t' is missing" >&2; exit 1; }
done

PAIR_SH=$SRC_DIR/scripts/pair.sh
TOOL=$SRC_DIR/bench/pair/loss_tool.py
NAME=lb$$
WORK=$(mktemp -d /tmp/quilo-lossbench.XXXXXX)
SERVER_PID=
UP=0
FAILED=0

cleanup() {
  stop_server
  [ "$UP" = 0 ] || "$PAIR_SH" -n "$NAME" down >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap 'rc=$?; trap - EXIT INT TERM; cleanup; exit $rc' EXIT
trap 'exit 130' INT TERM

pair() { "$PAIR_SH" -n "$NAME" -B "$BUILD" "$@"; }
# Servers run in a session of their own, so that stopping one also stops the
# server pair.sh started in the namespace: one left behind would hold the
# benchmark lock, whose descriptor it inherited, until killed by hand.
start_server() { setsid "$PAIR_SH" -n "$NAME" -B "$BUILD" exec server "$@" & SERVER_PID=$!; }
stop_server() {
  [ -z "$SERVER_PID" ] || { kill -- -"$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; }
  SERVER_PID=
}
# up CONF LOSS DEFINES... (ROUTES=1: UDP routes between client and server)
ROUTES=0
up() {
  local conf=$1 loss=$2 d args=(); shift 2
  for d in "$@" ${EXTRA[@]+"${EXTRA[@]}"}; do args+=(-D "$d"); done
  [ "$ROUTES" = 0 ] || args+=(--define-a "FT_EXTRA=, UDP_ROUTE 10.77.0.2/32 10.77.0.12"
                              --define-b "FT_EXTRA=, UDP_ROUTE 10.77.0.1/32 10.77.0.11")
  UP=1
  pair -c "$conf" -r "$RATE" -d "$DELAY" -q "$QUEUE" -l "$loss" ${args[@]+"${args[@]}"} up >/dev/null
}
down() { stop_server; pair down >/dev/null 2>&1 || true; UP=0; }
h() { local v; v=$(pair handler "$1" "$2" 2>/dev/null || echo 0); [[ "$v" =~ ^[0-9]+$ ]] || v=0; echo "$v"; }
rtx() { echo $(($(h a peer1/rsp.tx_retransmit_count) + $(h a peer1/rsp.tx_fast_retransmit_count) +
                $(h b peer1/rsp.tx_retransmit_count) + $(h b peer1/rsp.tx_fast_retransmit_count))); }
verdict() {  # verdict OK_EXPRESSION: "met" or "NOT met" (a miss is noted in a file: runs in $(...))
  if awk "BEGIN { exit !($1) }"; then echo met; else echo x >>"$WORK/missed"; echo "NOT met"; fi
}

echo "loss_bench: WAN ${RATE}, ${DELAY} each way, queue ${QUEUE} packets; sections: $CASES"

# --- lossy: the corpus through bridges and the pair ---------------------------
lossy() {
  mkdir -p "$WORK/www"
  find /usr/include /usr/share/doc /usr/lib/x86_64-linux-gnu /usr/lib /usr/share \
      -xdev -type f -size +0 -size -8M -readable -printf '%s %p\n' 2>/dev/null | sort -k2 -u |
    awk -v max=$((MB * 1048576)) 'total + $1 <= max { total += $1; sub(/^[0-9]+ /, ""); print }
                                  total >= max * 0.99 { exit }' >"$WORK/files" || true
  tar -cf "$WORK/www/corpus.tar" --files-from="$WORK/files" --no-recursion 2>/dev/null || true
  local sha bytes loss kase conf pass t got ok r0 rtxs
  sha=$(sha256sum "$WORK/www/corpus.tar" | cut -d' ' -f1)
  bytes=$(stat -c %s "$WORK/www/corpus.tar")
  echo
  echo "lossy: corpus of $bytes bytes, cold and warm pass per case"
  printf '  %-6s %-7s %-4s %9s %7s  %s\n' loss case pass time rtx SHA-256
  : >"$WORK/lossy"
  for loss in $LOSSES; do
    for kase in $LOSSY; do
      case $kase in
        bridge) conf=$SRC_DIR/conf/bridge.click; up "$conf" "$loss" ;;
        fec0) up "$SRC_DIR/conf/appliance.click" "$loss" FEC=0 ;;
        fec1) up "$SRC_DIR/conf/appliance.click" "$loss" FEC=1 ;;
        *) echo "loss_bench: unknown lossy case $kase" >&2; return 1 ;;
      esac
      start_server python3 "$SRC_DIR/scripts/serve.py" -b 10.77.0.2 -p 8080 -d "$WORK/www" >/dev/null 2>&1
      for _ in $(seq 1 50); do
        pair exec client curl -s -o /dev/null --max-time 2 http://10.77.0.2:8080/ 2>/dev/null && break
        sleep 0.2
      done
      for pass in cold warm; do
        r0=$(rtx)
        ok=match
        t=$(pair exec client curl -sf -o "$WORK/got" -w '%{time_total}' --max-time "$TIMEOUT" \
              http://10.77.0.2:8080/corpus.tar) || { t=0; ok=failed; }
        [ "$ok" != match ] || [ "$(sha256sum "$WORK/got" | cut -d' ' -f1)" = "$sha" ] || ok=mismatch
        [ "$ok" = match ] || FAILED=$((FAILED + 1))
        rm -f "$WORK/got"
        rtxs=$(($(rtx) - r0))
        printf '  %-6s %-7s %-4s %8.2fs %7d  %s\n' "$loss" "$kase" "$pass" "$t" "$rtxs" "$ok"
        echo "$loss $kase $pass $t $ok" >>"$WORK/lossy"
      done
      down
    done
  done
  echo "  speed-up over the bridges (bridge time / pair time):"
  local line
  while read -r line; do
    set -- $line
    local goal=1
    [ "$3" = cold ] || goal=3
    printf '  %-6s %-7s %-4s %6.2f  goal >= %s: %s\n' "$1" "$2" "$3" "$4" "$goal" "$(verdict "$4 >= $goal")"
  done < <(awk '$5 == "match" { t[$1 " " $2 " " $3] = $4 }
               END { for (k in t) { split(k, f, " "); b = t[f[1] " bridge " f[3]]
                     if (f[2] != "bridge" && b > 0 && t[k] > 0) printf "%s %s %s %.3f\n", f[1], f[2], f[3], b / t[k] } }' \
             "$WORK/lossy" | sort)
}

# --- fec: parity off and on at 1% loss ---------------------------------------
fec() {
  echo
  echo "fec: $FEC_LOSS loss; 20 MB of random bytes, then 200 x 20 KB fetches on one connection"
  up "$SRC_DIR/conf/appliance.click" "$FEC_LOSS" FEC=1 ${FEC_DEFS[@]+"${FEC_DEFS[@]}"}
  start_server python3 "$TOOL" serve 10.77.0.2 9000
  sleep 1
  printf '  %-6s %9s %7s %12s %5s   %s\n' parity "20 MB" rtx "WAN bytes" "" "fetches: median p95 max (ms)"
  local fec r0 w0 bulk fetch seed=1
  for fec in 0 1; do
    pair handler a peer1/fecsw.switch $fec >/dev/null
    pair handler b peer1/fecsw.switch $fec >/dev/null
    r0=$(rtx) w0=$(h wan bytes_ba.byte_count)
    bulk=$(pair exec client python3 "$TOOL" bulk 10.77.0.2 9000 $((20 << 20)) $((seed++))) || bulk="0 failed"
    eval "rtx$fec=$(($(rtx) - r0)) wan$fec=$(($(h wan bytes_ba.byte_count) - w0))"
    fetch=$(pair exec client python3 "$TOOL" fetches 10.77.0.2 9000 200 20480 $((seed * 1000))) || fetch="0 0 0 failed"
    seed=$((seed + 1))
    set -- $bulk
    eval "time$fec=$1"
    [ "$2" = ok ] || FAILED=$((FAILED + 1))
    [ "${fetch##* }" = ok ] || FAILED=$((FAILED + 1))
    eval "printf '  %-6s %8.2fs %7d %12d %5s   %s\n' $([ $fec = 1 ] && echo on || echo off) $1 \$rtx$fec \$wan$fec $2 '$fetch'"
  done
  echo "  rebuilt by A: $(h a peer1/unfec.rebuilt), parity packets sent by B: $(h b peer1/fec.fec_sent)" \
       "(groups of the bulk size: $(h b peer1/fec.bulk_groups), closed early: $(h b peer1/fec.flushed))"
  echo "  B's bulk group size at the end: $(h b peer1/fec.bulk_size), loss it estimates:" \
       "$(pair handler b peer1/fec.loss 2>/dev/null || echo -)"
  down
  printf '  %-44s %6.2f  goal <= 0.5: %s\n' "retransmissions with / without parity" \
    "$(awk "BEGIN { print $rtx0 ? $rtx1 / $rtx0 : 0 }")" "$(verdict "$rtx1 <= 0.5 * $rtx0")"
  printf '  %-44s %6.2f  goal <= 1: %s\n' "20 MB time with / without parity" \
    "$(awk "BEGIN { print $time0 ? $time1 / $time0 : 0 }")" "$(verdict "$time1 <= $time0")"
  printf '  %-44s %6.2f  goal <= 1.25: %s\n' "WAN bytes with / without parity" \
    "$(awk "BEGIN { print $wan0 ? $wan1 / $wan0 : 0 }")" "$(verdict "$wan1 <= 1.25 * $wan0")"
}

# --- stack: small datagrams with and without stacking ------------------------
stack() {
  echo
  echo "stack: 10 flows x 50 datagrams/s of 160 bytes for ${STACK_SECS}s, stacker packets wait up to ${STACK_WAIT} ms"
  printf '  %-8s %6s %6s %7s %5s %5s %5s %8s %8s\n' stacker LAN WAN WAN/LAN recv lost dup "p50 ms" "p95 ms"
  local s lan0 wan0 out lan wan base_p50=0 p95=0 ratio=0
  for s in 0 1; do
    ROUTES=1
    up "$SRC_DIR/conf/appliance.click" 0 STACKER=$s STACK_WAIT_MS=$STACK_WAIT
    ROUTES=0
    # The sink first sends one datagram on each flow: B learns each flow's
    # Ethernet addresses from its own LAN side, and unstacked packets get
    # them back.
    start_server python3 "$TOOL" udpsink 10.77.0.2 7500 10 3 10.77.0.1 >"$WORK/sink"
    sleep 1
    lan0=$(pair exec client cat /sys/class/net/eth0/statistics/tx_packets) wan0=$(h wan bytes_ab.count)
    pair exec client python3 "$TOOL" udpsend 10.77.0.2 7500 10 50 160 "$STACK_SECS"
    lan=$(($(pair exec client cat /sys/class/net/eth0/statistics/tx_packets) - lan0))
    wan=$(($(h wan bytes_ab.count) - wan0))
    wait "$SERVER_PID" || true
    SERVER_PID=
    out=$(cat "$WORK/sink")
    set -- $out
    [ "$2" = 0 ] && [ "$3" = 0 ] && [ "$4" = 0 ] || FAILED=$((FAILED + 1))
    printf '  %-8s %6d %6d %7.3f %5d %5d %5d %8.2f %8.2f\n' $s "$lan" "$wan" \
      "$(awk "BEGIN { print $wan / ($lan ? $lan : 1) }")" "$1" "$2" "$3" "$5" "$6"
    if [ $s = 0 ]; then base_p50=$5; else p95=$6; ratio=$(awk "BEGIN { print $wan / ($lan ? $lan : 1) }"); fi
    down
  done
  printf '  %-44s %6.3f  goal <= 0.35: %s\n' "WAN packets per LAN packet, stacking" "$ratio" "$(verdict "$ratio <= 0.35")"
  printf '  %-44s %6.2f  goal <= %d: %s\n' "added one-way delay, 95th percentile (ms)" \
    "$(awk "BEGIN { print $p95 - $base_p50 }")" $((STACK_WAIT + 2)) "$(verdict "$p95 - $base_p50 <= $STACK_WAIT + 2")"
}

for c in $CASES; do
  case $c in
    lossy) lossy ;;
    fec) fec ;;
    stack) stack ;;
    *) echo "loss_bench: unknown section $c" >&2; exit 1 ;;
  esac
done
echo
echo "loss_bench: goals missed: $(cat "$WORK/missed" 2>/dev/null | wc -l), failed or corrupted transfers: $FAILED (load: $(cut -d' ' -f1-3 /proc/loadavg))"
[ "$FAILED" = 0 ]

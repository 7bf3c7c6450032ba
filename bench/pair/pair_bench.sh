#!/usr/bin/env bash
# Appliance pair against plain bridges on the same topology, in one run.
#
#   client --- A --- WAN emulator --- B --- server       (scripts/pair.sh)
#
# Each case is a fresh pair (so every cold pass meets an empty byte cache),
# named WAN:KIND.
#
#   WAN   free    no WAN limits
#         qN      BENCH_RATE, BENCH_DELAY each way, a WAN queue of N packets
#         lossP   no rate limit, BENCH_DELAY each way, P percent random loss
#                 each way (P may be a decimal, loss0.5): no congestion
#   KIND  bridge  both appliances replaced by conf/bridge.click
#                 (FromDevice -> Queue -> ToDevice)
#         pair    conf/appliance.click with its reference settings
#         l4      the same with the byte cache at level 4 (every window
#                 position looked up)
#         off     the reference settings with queue management off (the
#                 queue manager inactive, RSP without congestion control)
#
# What runs:
#   free, qN   a corpus of real files from this machine fetched by the
#              client twice, cold then warm (warm repeated BENCH_WARM_REPS
#              times without WAN limits, BENCH_QWARM_REPS times through a
#              pair on a limited WAN; the median counts). Per pass: time,
#              goodput, LAN bytes (whole frames the client received), WAN
#              bytes (whole frames the emulator delivered towards the
#              client), WAN/LAN, RSP retransmissions (both appliances) and
#              their share of the packets the WAN delivered both ways.
#              Without WAN limits also the CPU time the whole machine spent
#              busy and idle during the pass: there everything shares the
#              machine's CPUs, and an idle share near 0 says that the pass
#              was bound by all of them together rather than by one router.
#              The summary sets the pair's busy CPU-seconds against the
#              bridges': with equal idle shares the goodput ratio follows
#              its inverse.
#   qN         then latency under load: ping from client to server, idle and
#              while the client downloads incompressible data for
#              BENCH_BULK_SECS; and for pair/off two such downloads at once.
#   lossP      BENCH_LOSS_REPS downloads of BENCH_LOSS_MB of incompressible
#              data each (fresh data every time); the median goodput counts.
#              The kinds of one lossP take turns, one download per fresh
#              pair (pair, off, then off, pair, ...), so that a drift of the
#              machine's load falls on both alike.
#   qN, lossP  per pass of a pair, the congestion state of B's RSP (the
#              sender of the downloads) when the pass ends.
#
# Goals (pair against bridges of the same WAN, or pair against off):
#   no WAN limits   goodput >= 0.5 x bridges, cold and warm
#   limited WAN     cold >= 2.5 x bridges, warm >= 8 x bridges, with every
#                   queue size; RSP retransmissions < 1% of the packets
#   latency         ping p95 under load <= idle + 30 ms (bridges printed
#                   beside)
#   two transfers   each gets 40% to 60% of the combined goodput
#   random loss     goodput with queue management >= 0.95 x without
#
# Usage: bench/pair/pair_bench.sh [BUILD_DIR]          (needs root)
# Environment:
#   BENCH_MB      corpus size in MB (40)
#   BENCH_RATE    WAN rate of the limited cases (20Mbps)
#   BENCH_DELAY   WAN delay each way of the limited and loss cases (20ms)
#   BENCH_CASES   cases to run ("free:bridge free:pair free:l4 q1000:bridge
#                 q1000:pair q250:bridge q250:pair loss1:pair loss1:off
#                 loss5:pair loss5:off")
#   BENCH_L4      define(s) that put the byte cache at level 4, space
#                 separated (DEDUP_LEVEL=4)
#   BENCH_OFF     define(s) that switch queue management off
#                 (QM=false CONGESTION_CONTROL=false)
#   BENCH_CONF    appliance configuration (conf/appliance.click)
#   BENCH_WARM_REPS  warm passes without WAN limits; the median counts (3)
#   BENCH_QWARM_REPS warm passes of a pair on a limited WAN (3; bridges,
#                 bound by the WAN, make one)
#   BENCH_BULK_SECS  length of the latency and two-transfer runs (12)
#   BENCH_LOSS_MB, BENCH_LOSS_REPS  size and number of the loss-case
#                 downloads (24, 5)
#   BENCH_THREADS appliance router threads (1)
#   BENCH_DEFINES extra NAME=VALUE defines for both appliances
#   BENCH_TIMEOUT longest single transfer in seconds (120)
#   BENCH_NICE    niceness of routers, server and client (-10)
#   BENCH_KEEP    1: keep each pair's logs (pair.sh --keep)
#   BENCH_PROFILE 1: sample the appliance routers with perf during the
#                 transfers of the pair cases (reports in the work directory,
#                 which is then kept)
set -euo pipefail

SRC_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:-$SRC_DIR/build}" 2>/dev/null && pwd) || { echo "pair_bench: no build directory ${1:-build}" >&2; exit 1; }
MB=${BENCH_MB:-40}
RATE=${BENCH_RATE:-20Mbps}
DELAY=${BENCH_DELAY:-20ms}
L4=${BENCH_L4:-DEDUP_LEVEL=4}
OFF=${BENCH_OFF:-QM=false CONGESTION_CONTROL=false}
CASES=${BENCH_CASES:-free:bridge free:pair free:l4 q1000:bridge q1000:pair q250:bridge q250:pair loss1:pair loss1:off loss5:pair loss5:off}
THREADS=${BENCH_THREADS:-1}
TIMEOUT=${BENCH_TIMEOUT:-120}
PROFILE=${BENCH_PROFILE:-0}
CONF=${BENCH_CONF:-$SRC_DIR/conf/appliance.click}
WARM_REPS=${BENCH_WARM_REPS:-3}
QWARM_REPS=${BENCH_QWARM_REPS:-3}
BULK_SECS=${BENCH_BULK_SECS:-12}
LOSS_MB=${BENCH_LOSS_MB:-24}
LOSS_REPS=${BENCH_LOSS_REPS:-5}
NICE=${BENCH_NICE:--10}

[ "$(id -u)" -eq 0 ] || { echo "pair_bench: needs root (network namespaces); try: sudo $0 $*" >&2; exit 1; }
[ -x "$BUILD/bin/quilo-router" ] || { echo "pair_bench: no $BUILD/bin/quilo-router (build first)" >&2; exit 1; }
for t in ip ethtool python3 curl sha256sum tar awk ping head; do
  command -v "$t" >/dev/null || { echo "pair_bench: '$t' is missing" >&2; exit 1; }
done
if [ "$PROFILE" = 1 ] && ! command -v perf >/dev/null; then
  echo "pair_bench: BENCH_PROFILE=1 needs perf" >&2; exit 1
fi
for c in $CASES; do
  [[ "$c" =~ ^(free|q[0-9]+|loss[0-9.]+):(bridge|pair|l4|off)$ ]] || { echo "pair_bench: unknown case $c" >&2; exit 1; }
done

PAIR_SH=$SRC_DIR/scripts/pair.sh
# Each case is a pair of its own (NAME set by run_case), so no state (byte
# cache, logs kept with BENCH_KEEP) carries over from one case to the next.
BASE=pb$$
NAME=${BASE}a
STATE=
WORK=$(mktemp -d /tmp/quilo-pairbench.XXXXXX)
SERVER_PID=
UP=0
RESULTS=$WORK/results

cleanup() {
  [ -z "$SERVER_PID" ] || { kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; }
  [ "$UP" = 0 ] || stop_hosts
  [ "$UP" = 0 ] || "$PAIR_SH" -n "$NAME" down >/dev/null 2>&1 || true
  if [ "$PROFILE" = 1 ]; then
    echo "pair_bench: profiles kept in $WORK" >&2
  else
    rm -rf "$WORK"
  fi
}
trap 'rc=$?; trap - EXIT INT TERM; cleanup; exit $rc' EXIT
trap 'exit 130' INT TERM

pair() { "$PAIR_SH" -n "$NAME" -B "$BUILD" "$@"; }

# --- served files --------------------------------------------------------------
# The corpus: real files of this machine, about MB megabytes, in one tar.
mkdir -p "$WORK/www"
find /usr/include /usr/share/doc /usr/lib/x86_64-linux-gnu /usr/lib /usr/share \
    -xdev -type f -size +0 -size -8M -readable -printf '%s %p\n' 2>/dev/null | sort -k2 -u |
  awk -v max=$((MB * 1048576)) '
    total + $1 <= max { total += $1; sub(/^[0-9]+ /, ""); print }
    total >= max * 0.99 { exit }' >"$WORK/files" || true
tar -cf "$WORK/www/corpus.tar" --files-from="$WORK/files" --no-recursion 2>/dev/null || true
CORPUS_BYTES=$(stat -c %s "$WORK/www/corpus.tar")
CORPUS_SHA=$(sha256sum "$WORK/www/corpus.tar" | cut -d' ' -f1)
# Incompressible data: one file per use within a case (the byte cache would
# recognise a second download of the same bytes). Bulk files outlast
# BULK_SECS at the limited rate.
RATE_BPS=$(awk -v r="$RATE" 'BEGIN { n = r + 0; u = r; sub(/^[0-9.]+/, "", u); c = substr(u, 1, 1)
  m = (c == "G" || c == "g") ? 1e9 : (c == "M" || c == "m") ? 1e6 : (c == "K" || c == "k") ? 1e3 : 1
  if (u == "" || u ~ /Bps$/) m *= 8
  print int(n * m) }')
BULK_MB=$(( (RATE_BPS / 8 * BULK_SECS * 3 / 2 + 1048575) / 1048576 ))
need_loss=0 need_bulk=0
for c in $CASES; do
  case $c in loss*) need_loss=1 ;; q*) need_bulk=1 ;; esac
done
if [ "$need_bulk" = 1 ]; then
  for f in bulk fair1 fair2; do head -c $((BULK_MB * 1048576)) /dev/urandom >"$WORK/www/$f.bin"; done
fi
if [ "$need_loss" = 1 ]; then
  for i in $(seq 1 "$LOSS_REPS"); do head -c $((LOSS_MB * 1048576)) /dev/urandom >"$WORK/www/loss$i.bin"; done
fi
echo "pair_bench: corpus of $(wc -l <"$WORK/files") files from /usr, $CORPUS_BYTES bytes"
echo "pair_bench: limited WAN ${RATE}, ${DELAY} each way; appliance threads ${THREADS}; load: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- one case -------------------------------------------------------------------

# pair_up WAN CONF DEFINES...: builds the pair for one case and starts the
# HTTP server in the server's namespace.
pair_up() {
  local wan=$1 conf=$2; shift 2
  local args=(-c "$conf" -j "$THREADS") d
  case $wan in
    free) args+=(-r 0 -d 0ms -q 1000) ;;
    q*) args+=(-r "$RATE" -d "$DELAY" -q "${wan#q}") ;;
    loss*) args+=(-r 0 -d "$DELAY" -q 1000 -l "$(awk -v p="${wan#loss}" 'BEGIN { print p / 100 }')") ;;
  esac
  for d in "$@"; do args+=(-D "$d"); done
  [ "${BENCH_KEEP:-0}" != 1 ] || args+=(--keep)
  UP=1
  pair "${args[@]}" up >/dev/null
  # The machine may be busy with other work: the routers, the server and the
  # client run at raised priority so the figures follow the pair, not the load.
  local r pid t
  for r in a wan b; do
    pid=$(cat "$STATE/$r.pid" 2>/dev/null) || continue
    for t in /proc/"$pid"/task/*; do renice -n "$NICE" -p "${t##*/}" >/dev/null 2>&1 || true; done
  done
  # Started without the pair() wrapper: pair.sh execs into the server, so
  # SERVER_PID is the server itself and pair_down's kill reaches it.
  "$PAIR_SH" -n "$NAME" -B "$BUILD" exec server nice -n "$NICE" python3 "$SRC_DIR/scripts/serve.py" \
    -b 10.77.0.2 -p 8080 -d "$WORK/www" >"$WORK/http.log" 2>&1 &
  SERVER_PID=$!
  local i
  for i in $(seq 1 50); do
    pair exec client curl -s -o /dev/null --max-time 2 http://10.77.0.2:8080/ 2>/dev/null && return 0
    sleep 0.2
  done
  echo "pair_bench: the HTTP server does not answer through the pair" >&2
  return 1
}

# Stops whatever still runs in the pair's end-host namespaces (the server,
# a client cut short), which would otherwise outlive them.
stop_hosts() {
  local pid
  for pid in $(ip netns pids "$NAME-server" 2>/dev/null) $(ip netns pids "$NAME-client" 2>/dev/null); do
    kill "$pid" 2>/dev/null || true
  done
}

pair_down() {
  kill "$SERVER_PID" 2>/dev/null || true
  wait "$SERVER_PID" 2>/dev/null || true
  stop_hosts
  SERVER_PID=
  local keep=()
  [ "${BENCH_KEEP:-0}" != 1 ] || keep=(--keep)
  pair ${keep[@]+"${keep[@]}"} down >/dev/null 2>&1 || true
  UP=0
}

num() { local v; v=$(pair handler "$@" 2>/dev/null || echo 0); [[ "$v" =~ ^[0-9]+$ ]] || v=0; echo "$v"; }
lan_rx() { pair exec client cat /sys/class/net/eth0/statistics/rx_bytes; }
wan_ba() { num wan bytes_ba.byte_count; }
wan_packets() { echo $(( $(num wan bytes_ab.count) + $(num wan bytes_ba.count) )); }
rtx() {
  local n=0 r h
  for r in a b; do
    for h in peer1/rsp.tx_retransmit_count peer1/rsp.tx_fast_retransmit_count; do n=$((n + $(num "$r" "$h"))); done
  done
  echo $n
}
qm_drops() { echo $(( $(num a peer1/qm.drops) + $(num b peer1/qm.drops) )); }
# Where a limited WAN lost packets: the emulator's queue in each direction,
# and frames the kernel dropped before a router read them (the emulator's
# two devices, then the appliances' WAN devices).
wan_losses() {
  echo "$(num wan q_ab.drops) $(num wan q_ba.drops) $(( $(num wan in_a.kernel_drops) + $(num wan in_b.kernel_drops) ))" \
       "$(num a wan_dev.kernel_drops) $(num b wan_dev.kernel_drops)"
}

# profile_start LABEL: perf samples of both appliance routers while a pass
# runs (BENCH_PROFILE=1).
PERF_PIDS=()
profile_start() {
  [ "$PROFILE" = 1 ] || return 0
  local r pid
  PERF_PIDS=()
  for r in a b; do
    pid=$(cat "$STATE/$r.pid" 2>/dev/null) || continue
    perf record -q -g -p "$pid" -o "$WORK/perf-$1-$r.data" >/dev/null 2>&1 &
    PERF_PIDS+=($!)
  done
}
profile_stop() {
  [ "$PROFILE" = 1 ] || return 0
  local p
  for p in ${PERF_PIDS[@]+"${PERF_PIDS[@]}"}; do kill -INT "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  PERF_PIDS=()
}

# fetch FILE BYTES SHA: one download; prints "seconds ok".
fetch() {
  local t ok=match sha
  head -1 /proc/stat >"$WORK/cpu0"
  t=$(pair exec client nice -n "$NICE" curl -sf -o "$WORK/got" -w '%{time_total}' --max-time "$TIMEOUT" \
      "http://10.77.0.2:8080/$1") || { t=0; ok=failed; }
  head -1 /proc/stat >"$WORK/cpu1"
  if [ "$ok" = match ]; then
    if [ -n "$3" ]; then
      sha=$(sha256sum "$WORK/got" | cut -d' ' -f1)
      [ "$sha" = "$3" ] || ok=mismatch
    elif [ "$(stat -c %s "$WORK/got")" != "$2" ]; then
      ok=mismatch
    fi
  fi
  rm -f "$WORK/got"
  echo "$t $ok"
}

# transfer CASE PASS FILE BYTES [SHA]: one download with the pair's
# counters; appends "pass CASE PASS seconds bytes lan wan rtx packets ok".
transfer() {
  local label=$1 pass=$2 file=$3 bytes=$4 sha=${5:-} lan0 wan0 rtx0 pk0 qm0 lan1 wan1 rtx1 pk1 qm1 t ok
  local wl0=() wl1=()
  lan0=$(lan_rx) wan0=$(wan_ba) rtx0=$(rtx) pk0=$(wan_packets) qm0=$(qm_drops)
  [[ "$label" != q* ]] || read -ra wl0 < <(wan_losses)
  profile_start "$label-$pass"
  read -r t ok < <(fetch "$file" "$bytes" "$sha")
  profile_stop
  [ "$ok" = match ] || echo "pair_bench: $label $pass transfer $ok" >&2
  sleep 0.3
  lan1=$(lan_rx) wan1=$(wan_ba) rtx1=$(rtx) pk1=$(wan_packets) qm1=$(qm_drops)
  [[ "$label" != q* ]] || read -ra wl1 < <(wan_losses)
  echo "pass $label $pass $t $bytes $((lan1 - lan0)) $((wan1 - wan0)) $((rtx1 - rtx0)) $((pk1 - pk0)) $ok" >>"$RESULTS"
  awk -v l="$label" -v p="$pass" -v t="$t" -v n="$bytes" -v lan=$((lan1 - lan0)) -v wan=$((wan1 - wan0)) \
      -v r=$((rtx1 - rtx0)) -v pk=$((pk1 - pk0)) -v q=$((qm1 - qm0)) -v ok="$ok" 'BEGIN {
    g = t > 0 ? n * 8 / t / 1e6 : 0
    printf "  %-12s %-5s %8.2fs %9.1f Mbit/s %12d %12d %7.3f %6d %6.2f%% %6d  %s\n", l, p, t, g, lan, wan,
      (lan > 0 ? wan / lan : 0), r, (pk > 0 ? 100 * r / pk : 0), q, ok }'
  # Without WAN limits: how much of the machine's CPUs everything on it
  # (end hosts, emulator, routers, kernel) took while curl ran.
  if [[ "$label" == free:* ]]; then
    cat "$WORK/cpu0" "$WORK/cpu1" | tr '\n' ' ' | awk -v n="$(nproc)" -v hz="$(getconf CLK_TCK)" \
        -v l="$label" -v p="$pass" -v res="$RESULTS" '{
      busy = 0; idle = 0
      for (i = 2; i <= 9; i++) { d = $(i + 11) - $i; if (i == 5 || i == 6) idle += d; else busy += d }
      if (busy + idle > 0) {
        printf "      machine: %.2f CPU-seconds busy, %.2f idle (%.0f%% of %d CPUs busy)\n", busy / hz, idle / hz,
          100 * busy / (busy + idle), n
        printf "cpu %s %s %.3f\n", l, p, busy / hz >>res
      } }'
  fi
  if [[ "$label" != free:* && "$label" != *:bridge && "$label" != *:off ]]; then
    pair handler b peer1/rsp.congestion_state 2>/dev/null | sed -e 's/^congestion control: //' -e 's/^/      b rsp: /' || true
  fi
  if [ ${#wl1[@]} = 5 ] && [ ${#wl0[@]} = 5 ]; then
    echo "      wan drops: queue a->b $((wl1[0] - wl0[0])), b->a $((wl1[1] - wl0[1]));" \
         "kernel: emulator $((wl1[2] - wl0[2])), a $((wl1[3] - wl0[3])), b $((wl1[4] - wl0[4]))"
  fi
}

# ping_rtts COUNT: RTTs in ms of COUNT pings 50 ms apart, one per line.
ping_rtts() {
  pair exec client ping -n -i 0.05 -W 2 -c "$1" 10.77.0.2 2>/dev/null | sed -n 's/.*time=\([0-9.]*\) ms.*/\1/p' || true
}

# latency CASE: idle RTT, then RTT under one bulk download; appends
# "lat CASE idle_median loaded_p95 sent received".
latency() {
  local label=$1 idle loaded n=$(( (BULK_SECS - 3) * 20 )) cpid
  idle=$(ping_rtts 20 | sort -n | awk '{ v[NR] = $1 } END { print NR ? v[int((NR + 1) / 2)] : -1 }')
  pair exec client curl -s -o /dev/null --max-time "$BULK_SECS" http://10.77.0.2:8080/bulk.bin >/dev/null 2>&1 &
  cpid=$!
  sleep 2
  ping_rtts "$n" | sort -n >"$WORK/rtts"
  wait "$cpid" 2>/dev/null || true
  loaded=$(awk '{ v[NR] = $1 } END { print NR ? v[int(NR * 0.95 + 0.999)] : -1 }' "$WORK/rtts")
  echo "lat $label $idle $loaded $n $(wc -l <"$WORK/rtts")" >>"$RESULTS"
  printf "  %-12s ping: idle %.1f ms, p95 under load %.1f ms (%d of %d answered)\n" "$label" "$idle" "$loaded" \
    "$(wc -l <"$WORK/rtts")" "$n"
}

# fairness CASE: two bulk downloads at once; appends "fair CASE bytes1 bytes2".
fairness() {
  local label=$1 b1 b2
  pair exec client curl -s -o /dev/null -w '%{size_download}' --max-time "$BULK_SECS" \
    http://10.77.0.2:8080/fair1.bin >"$WORK/f1" 2>/dev/null &
  local p1=$!
  pair exec client curl -s -o /dev/null -w '%{size_download}' --max-time "$BULK_SECS" \
    http://10.77.0.2:8080/fair2.bin >"$WORK/f2" 2>/dev/null &
  local p2=$!
  wait "$p1" "$p2" 2>/dev/null || true
  b1=$(cat "$WORK/f1" 2>/dev/null) b2=$(cat "$WORK/f2" 2>/dev/null)
  [[ "$b1" =~ ^[0-9]+$ ]] || b1=0
  [[ "$b2" =~ ^[0-9]+$ ]] || b2=0
  echo "fair $label $b1 $b2" >>"$RESULTS"
  awk -v l="$label" -v a="$b1" -v b="$b2" -v s="$BULK_SECS" 'BEGIN {
    printf "  %-12s two transfers: %.1f + %.1f Mbit/s\n", l, a * 8 / s / 1e6, b * 8 / s / 1e6 }'
}

CASE_NO=0
CASE_LETTERS=abcdefghijklmnopqrstuvwxyz
# run_case CASE [REP]: a fresh pair for CASE; a lossP case with REP makes
# only that one of its downloads.
run_case() {
  local kase=$1 wan=${1%%:*} kind=${1#*:} conf=$CONF defs=() rep=${2:-}
  NAME=$BASE${CASE_LETTERS:$((CASE_NO % 26)):1}
  STATE=${PAIR_RUNDIR:-/tmp}/quilo-pair-$NAME
  CASE_NO=$((CASE_NO + 1))
  case $kind in
    bridge) conf=$SRC_DIR/conf/bridge.click ;;
    l4) read -ra defs <<<"$L4" ;;
    off) read -ra defs <<<"$OFF" ;;
  esac
  local extra=()
  read -ra extra <<<"${BENCH_DEFINES:-}"
  defs+=(${extra[@]+"${extra[@]}"})
  pair_up "$wan" "$conf" ${defs[@]+"${defs[@]}"}
  local i
  case $wan in
    loss*)
      for i in ${rep:-$(seq 1 "$LOSS_REPS")}; do transfer "$kase" "rand" "loss$i.bin" $((LOSS_MB * 1048576)); done ;;
    *)
      transfer "$kase" cold corpus.tar "$CORPUS_BYTES" "$CORPUS_SHA"
      local reps=$WARM_REPS
      [ "$wan" = free ] || { [ "$kind" = bridge ] && reps=1 || reps=$QWARM_REPS; }
      for i in $(seq 1 "$reps"); do transfer "$kase" warm corpus.tar "$CORPUS_BYTES" "$CORPUS_SHA"; done
      if [ "$wan" != free ]; then
        latency "$kase"
        [ "$kind" = bridge ] || fairness "$kase"
      fi ;;
  esac
  pair_down
}

: >"$RESULTS"
printf '\n  %-12s %-5s %9s %16s %12s %12s %7s %6s %7s %6s  %s\n' case pass time goodput "LAN bytes" "WAN bytes" WAN/LAN rtx \
  "rtx/pk" "qm" check
# The lossP cases come last, their kinds interleaved download by download
# (each on a fresh pair, so the same file is new to each); the order turns
# every round.
losses=()
for c in $CASES; do
  case $c in
    loss*) [[ " ${losses[*]-} " == *" ${c%%:*} "* ]] || losses+=("${c%%:*}") ;;
    *) run_case "$c" ;;
  esac
done
for l in ${losses[@]+"${losses[@]}"}; do
  kinds=()
  for c in $CASES; do [ "${c%%:*}" != "$l" ] || kinds+=("${c#*:}"); done
  for i in $(seq 1 "$LOSS_REPS"); do
    order=("${kinds[@]}")
    if [ $((i % 2)) = 0 ]; then
      order=()
      for ((j = ${#kinds[@]} - 1; j >= 0; j--)); do order+=("${kinds[j]}"); done
    fi
    for k in "${order[@]}"; do run_case "$l:$k" "$i"; done
  done
done

# --- against the goals ------------------------------------------------------
echo
awk '
  function verdict(ok, goal) {
    if (ok) return sprintf("goal %s: met", goal)
    missed++
    return sprintf("goal %s: NOT met", goal)
  }
  $1 == "pass" {
    k = $2 " " $3
    n[k]++; v[k, n[k]] = $4; bytes[k] = $5
    rtx[$2] += $8; pk[$2] += $9
    if ($10 != "match") { failed++; bad[k] = 1 }
  }
  $1 == "cpu" { k = $2 " " $3; nc[k]++; vc[k, nc[k]] = $4 }
  $1 == "lat" { idle[$2] = $3; p95[$2] = $4; answered[$2] = $6; sent[$2] = $5 }
  $1 == "fair" { f1[$2] = $3; f2[$2] = $4 }
  # t[k]: the median time of the passes of k
  function medians(   k) {
    for (k in n) t[k] = median(v, k, n[k])
  }
  # median ARR K M: the median of ARR[K, 1..M]
  function median(arr, k, m,   i, j, x, tmp) {
    for (i = 1; i <= m; i++) tmp[i] = arr[k, i]
    for (i = 2; i <= m; i++) for (j = i; j > 1 && tmp[j - 1] > tmp[j]; j--) { x = tmp[j]; tmp[j] = tmp[j - 1]; tmp[j - 1] = x }
    return tmp[int((m + 1) / 2)]
  }
  # ratio LABEL FAST SLOW GOAL: goodput ratio (= time ratio SLOW/FAST) against a floor
  function ratio(label, a, b, goal,   r, s) {
    if (!((a in t) && (b in t))) return
    if (t[a] <= 0 || t[b] <= 0 || (a in bad) || (b in bad)) { s = "not measured (transfer failed)"; r = 0 }
    else { r = t[b] / t[a]; s = goal == "" ? "(reported)" : verdict(r >= goal + 0, ">= " goal) }
    printf "  %-48s %7.2f  %s\n", label, r, s
  }
  # cpu_ratio LABEL PAIR BRIDGE: CPU-seconds the whole machine was busy
  # during the passes of PAIR over those of BRIDGE (medians).
  function cpu_ratio(label, a, b,   m) {
    if (!((a in nc) && (b in nc)) || (a in bad) || (b in bad)) return
    if (!cpu_hdr++) print "  machine CPU-seconds busy per pass, pair / plain bridges (median of the passes)"
    m = median(vc, a, nc[a]) / median(vc, b, nc[b])
    printf "  %-48s %7.2f  (reported)\n", label, m
  }
  END {
    medians()
    print "  goodput ratio pair / plain bridges (warm without WAN limits: median of the passes)"
    ratio("no WAN limits, cold, reference settings", "free:pair cold", "free:bridge cold", "0.5")
    ratio("no WAN limits, warm, reference settings", "free:pair warm", "free:bridge warm", "0.5")
    ratio("no WAN limits, cold, byte cache level 4", "free:l4 cold", "free:bridge cold", "")
    ratio("no WAN limits, warm, byte cache level 4", "free:l4 warm", "free:bridge warm", "")
    for (k in n) if (k ~ /^q[0-9]+:pair cold$/) { split(k, a, ":"); qs[a[1]] = 1 }
    for (q in qs) {
      ratio("WAN queue " substr(q, 2) ", cold", q ":pair cold", q ":bridge cold", "2.5")
      ratio("WAN queue " substr(q, 2) ", warm", q ":pair warm", q ":bridge warm", "8")
    }
    # When every pass leaves the same share of the CPUs idle, the goodput
    # ratio is about the inverse of this one: a pass is then bound by the
    # CPU time that end hosts, emulator and routers need together.
    cpu_ratio("no WAN limits, cold", "free:pair cold", "free:bridge cold")
    cpu_ratio("no WAN limits, warm", "free:pair warm", "free:bridge warm")
    print "  RSP retransmissions / packets the WAN delivered (limited WAN, cold and warm)"
    for (c in rtx) if (c ~ /^q[0-9]+:(pair|off|l4)$/)
      printf "  %-48s %6.2f%%  %s\n", c, pk[c] ? 100 * rtx[c] / pk[c] : 0, verdict(pk[c] && rtx[c] < 0.01 * pk[c], "< 1%")
    print "  latency under load: ping p95 while downloading - idle median (ms)"
    for (c in p95) if (c !~ /bridge$/) {
      split(c, a, ":"); b = a[1] ":bridge"
      printf "  %-48s %7.1f  (bridges %s)  %s\n", c, p95[c] - idle[c],
        (b in p95) ? sprintf("%.1f", p95[b] - idle[b]) : "-", verdict(p95[c] > 0 && p95[c] - idle[c] <= 30, "<= 30")
    }
    print "  two downloads at once: shares of the combined goodput"
    for (c in f1) {
      s = f1[c] + f2[c]
      printf "  %-48s %.2f / %.2f  %s\n", c, s ? f1[c] / s : 0, s ? f2[c] / s : 0,
        verdict(s && f1[c] >= 0.4 * s && f2[c] >= 0.4 * s, "0.4 to 0.6 each")
    }
    print "  random loss without congestion: goodput with queue management / without (median)"
    for (k in n) if (k ~ /^loss[0-9.]+:pair rand$/) { split(k, a, ":"); ls[a[1]] = 1 }
    for (l in ls) ratio(substr(l, 5) "% loss", l ":pair rand", l ":off rand", "0.95")
    printf "\n  goals missed: %d, failed or corrupted transfers: %d\n", missed, failed
    exit (failed > 0 ? 2 : 0)
  }' "$RESULTS"
echo
echo "  goodput = bytes x 8 / transfer time (curl); LAN bytes: whole frames the client"
echo "  received; WAN bytes: whole frames the WAN emulator delivered towards the client;"
echo "  rtx: packets RSP retransmitted (both appliances); rtx/pk: their share of the"
echo "  packets the WAN delivered in both directions; qm: LAN packets the queue"
echo "  managers dropped (both appliances). Load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

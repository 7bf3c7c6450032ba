#!/usr/bin/env bash
# Appliance pair against plain bridges on the same topology, in one run.
#
#   client --- A --- WAN emulator --- B --- server       (scripts/pair.sh)
#
# A corpus of real files from this machine is fetched from the server by the
# client twice (cold, then warm) through:
#   bridge   both appliances replaced by conf/bridge.click
#            (FromDevice -> Queue -> ToDevice)
#   pair     conf/appliance.click with its reference settings
#   pair L4  the same with the byte cache at level 4 (every window position
#            looked up), without WAN limits only
# each without WAN limits (warm pass repeated, the median counts) and over
# the emulated WAN (BENCH_RATE, BENCH_DELAY
# each way). Every case gets a fresh pair, so each cold pass starts with an
# empty byte cache. Prints per pass the transfer time, goodput, LAN bytes
# (whole frames the client received), WAN bytes (whole frames the emulator
# delivered towards the client), WAN/LAN and RSP retransmissions, then the
# ratios pair/bridge against the goals:
#   no WAN limits:   pair goodput >= 0.5 x bridge goodput (reference settings)
#   limited WAN:     cold pass not slower than the bridges,
#                    warm pass at least 8 x faster than the bridges
#
# Usage: bench/pair/pair_bench.sh [BUILD_DIR]          (needs root)
# Environment:
#   BENCH_MB      corpus size in MB (40)
#   BENCH_RATE    WAN rate of the limited case (20Mbps)
#   BENCH_DELAY   WAN delay each way of the limited case (20ms)
#   BENCH_QUEUE   WAN queue in packets, both cases (4000, as scripts/demo.sh);
#                 the queue counts packets, and deduplicated packets are small,
#                 so a shallower queue (e.g. 1000, pair.sh's default)
#                 overflows under the warm pass: the tunnel has no congestion
#                 control of its own, and RSP's retransmissions (column rtx)
#                 show what that costs
#   BENCH_L4      define(s) that put the byte cache at level 4, space
#                 separated (DEDUP_LEVEL=4)
#   BENCH_CASES   cases to run, a subset of "bridge pair l4" for each WAN
#                 ("free:bridge free:pair free:l4 wan:bridge wan:pair")
#   BENCH_CONF    appliance configuration (conf/appliance.click)
#   BENCH_WARM_REPS  warm passes without WAN limits; the median counts (3)
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
QUEUE=${BENCH_QUEUE:-4000}
L4=${BENCH_L4:-DEDUP_LEVEL=4}
CASES=${BENCH_CASES:-free:bridge free:pair free:l4 wan:bridge wan:pair}
THREADS=${BENCH_THREADS:-1}
TIMEOUT=${BENCH_TIMEOUT:-120}
PROFILE=${BENCH_PROFILE:-0}
CONF=${BENCH_CONF:-$SRC_DIR/conf/appliance.click}
WARM_REPS=${BENCH_WARM_REPS:-3}
NICE=${BENCH_NICE:--10}

[ "$(id -u)" -eq 0 ] || { echo "pair_bench: needs root (network namespaces); try: sudo $0 $*" >&2; exit 1; }
[ -x "$BUILD/bin/quilo-router" ] || { echo "pair_bench: no $BUILD/bin/quilo-router (build first)" >&2; exit 1; }
for t in ip ethtool python3 curl sha256sum tar awk; do
  command -v "$t" >/dev/null || { echo "pair_bench: '$t' is missing" >&2; exit 1; }
done
if [ "$PROFILE" = 1 ] && ! command -v perf >/dev/null; then
  echo "pair_bench: BENCH_PROFILE=1 needs perf" >&2; exit 1
fi

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

# --- corpus: real files of this machine, about MB megabytes, in one tar -----
mkdir -p "$WORK/www"
find /usr/include /usr/share/doc /usr/lib/x86_64-linux-gnu /usr/lib /usr/share \
    -xdev -type f -size +0 -size -8M -readable -printf '%s %p\n' 2>/dev/null | sort -k2 -u |
  awk -v max=$((MB * 1048576)) '
    total + $1 <= max { total += $1; sub(/^[0-9]+ /, ""); print }
    total >= max * 0.99 { exit }' >"$WORK/files" || true
tar -cf "$WORK/www/corpus.tar" --files-from="$WORK/files" --no-recursion 2>/dev/null || true
CORPUS_BYTES=$(stat -c %s "$WORK/www/corpus.tar")
CORPUS_SHA=$(sha256sum "$WORK/www/corpus.tar" | cut -d' ' -f1)
echo "pair_bench: corpus of $(wc -l <"$WORK/files") files from /usr, $CORPUS_BYTES bytes"
echo "pair_bench: limited WAN ${RATE}, ${DELAY} each way; WAN queue ${QUEUE} packets; appliance threads ${THREADS}"

# --- one case: a fresh pair, the server, a cold and a warm pass -------------

# pair_up WAN CONF DEFINES...: builds the pair for one case and starts the
# HTTP server in the server's namespace.
pair_up() {
  local wan=$1 conf=$2; shift 2
  local args=(-c "$conf" -j "$THREADS" -q "$QUEUE") d
  if [ "$wan" = wan ]; then args+=(-r "$RATE" -d "$DELAY"); else args+=(-r 0 -d 0ms); fi
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

pair_down() {
  kill "$SERVER_PID" 2>/dev/null || true
  wait "$SERVER_PID" 2>/dev/null || true
  SERVER_PID=
  local keep=()
  [ "${BENCH_KEEP:-0}" != 1 ] || keep=(--keep)
  pair ${keep[@]+"${keep[@]}"} down >/dev/null 2>&1 || true
  UP=0
}

lan_rx() { pair exec client cat /sys/class/net/eth0/statistics/rx_bytes; }
wan_ba() { pair handler wan bytes_ba.byte_count; }
rtx() {
  local n=0 r h v
  for r in a b; do
    for h in rsp1.tx_retransmit_count rsp1.tx_fast_retransmit_count; do
      v=$(pair handler "$r" "$h" 2>/dev/null || echo 0)
      [[ "$v" =~ ^[0-9]+$ ]] || v=0
      n=$((n + v))
    done
  done
  echo $n
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

# transfer CASE PASS: one fetch of the corpus; appends
# "CASE PASS seconds lan_bytes wan_bytes rtx ok" to RESULTS.
transfer() {
  local label=$1 pass=$2 lan0 wan0 rtx0 lan1 wan1 rtx1 t sha ok=match
  lan0=$(lan_rx) wan0=$(wan_ba) rtx0=$(rtx)
  profile_start "$label-$pass"
  # curl's own clock times the transfer.
  t=$(pair exec client nice -n "$NICE" curl -sf -o "$WORK/got" -w '%{time_total}' --max-time "$TIMEOUT" http://10.77.0.2:8080/corpus.tar) ||
    { profile_stop; echo "pair_bench: $label $pass transfer failed" >&2; t=0; ok=failed; }
  profile_stop
  sleep 0.3
  lan1=$(lan_rx) wan1=$(wan_ba) rtx1=$(rtx)
  if [ "$ok" = match ]; then
    sha=$(sha256sum "$WORK/got" | cut -d' ' -f1)
    [ "$sha" = "$CORPUS_SHA" ] || ok=mismatch
  fi
  rm -f "$WORK/got"
  echo "$label $pass $t $((lan1 - lan0)) $((wan1 - wan0)) $((rtx1 - rtx0)) $ok" >>"$RESULTS"
  awk -v l="$label" -v p="$pass" -v t="$t" -v n="$CORPUS_BYTES" -v lan=$((lan1 - lan0)) \
      -v wan=$((wan1 - wan0)) -v r=$((rtx1 - rtx0)) -v ok="$ok" 'BEGIN {
    g = t > 0 ? n * 8 / t / 1e6 : 0
    printf "  %-12s %-4s %8.2fs %9.1f Mbit/s %12d %12d %7.3f %6d  %s\n", l, p, t, g, lan, wan, (lan > 0 ? wan / lan : 0), r, ok }'
}

CASE_NO=0
CASE_LETTERS=abcdefghijklmnopqrstuvwxyz
run_case() {
  local kase=$1 wan=${1%%:*} kind=${1#*:} conf defs=()
  NAME=$BASE${CASE_LETTERS:$((CASE_NO % 26)):1}
  STATE=${PAIR_RUNDIR:-/tmp}/quilo-pair-$NAME
  CASE_NO=$((CASE_NO + 1))
  case $kind in
    bridge) conf=$SRC_DIR/conf/bridge.click ;;
    pair) conf=$CONF ;;
    l4) conf=$CONF; read -ra defs <<<"$L4" ;;
    *) echo "pair_bench: unknown case $kase" >&2; return 1 ;;
  esac
  local extra=()
  read -ra extra <<<"${BENCH_DEFINES:-}"
  defs+=(${extra[@]+"${extra[@]}"})
  pair_up "$wan" "$conf" ${defs[@]+"${defs[@]}"}
  transfer "$kase" cold
  local i reps=$WARM_REPS
  [ "$wan" = free ] || reps=1
  for i in $(seq 1 "$reps"); do transfer "$kase" warm; done
  pair_down
}

: >"$RESULTS"
printf '\n  %-12s %-4s %9s %16s %12s %12s %7s %6s  %s\n' case pass time goodput "LAN bytes" "WAN bytes" WAN/LAN "rtx" SHA-256
for c in $CASES; do run_case "$c"; done

# --- ratios against the goals -----------------------------------------------
echo
awk '
  {
    k = $1 " " $2
    n[k]++; v[k, n[k]] = $3
    if ($7 != "match") { failed++; ok[k] = $7 } else if (!(k in ok)) ok[k] = "match"
  }
  # t[k]: the median time of the passes of k
  function medians(   k, i, j, m, tmp) {
    for (k in n) {
      m = n[k]
      for (i = 1; i <= m; i++) tmp[i] = v[k, i]
      for (i = 2; i <= m; i++) for (j = i; j > 1 && tmp[j - 1] > tmp[j]; j--) { x = tmp[j]; tmp[j] = tmp[j - 1]; tmp[j - 1] = x }
      t[k] = tmp[int((m + 1) / 2)]
    }
  }
  function ratio(a, b) { return (t[a] > 0 && t[b] > 0) ? t[b] / t[a] : -1 }
  # show LABEL PAIRCASE BRIDGECASE GOAL: goodput ratio pair/bridge (= time
  # ratio bridge/pair) against a floor
  function show(label, p, b, goal,   r, verdict) {
    if (!((p in t) && (b in t))) return
    r = ratio(p, b)
    if (r < 0 || ok[p] != "match" || ok[b] != "match") verdict = "not measured (transfer failed)"
    else if (goal == "") verdict = "(reported)"
    else if (r >= goal) verdict = sprintf("goal >= %s: met", goal)
    else { verdict = sprintf("goal >= %s: NOT met", goal); missed++ }
    printf "  %-44s %7.2f  %s\n", label, r, verdict
  }
  END {
    medians()
    print "  goodput ratio pair / plain bridges (warm without WAN limits: median of the passes)"
    show("no WAN limits, cold, reference settings", "free:pair cold", "free:bridge cold", "0.5")
    show("no WAN limits, warm, reference settings", "free:pair warm", "free:bridge warm", "0.5")
    show("no WAN limits, cold, byte cache level 4", "free:l4 cold", "free:bridge cold", "")
    show("no WAN limits, warm, byte cache level 4", "free:l4 warm", "free:bridge warm", "")
    show("limited WAN, cold", "wan:pair cold", "wan:bridge cold", "1.0")
    show("limited WAN, warm", "wan:pair warm", "wan:bridge warm", "8")
    show("limited WAN, cold, byte cache level 4", "wan:l4 cold", "wan:bridge cold", "")
    show("limited WAN, warm, byte cache level 4", "wan:l4 warm", "wan:bridge warm", "")
    printf "\n  goals missed: %d, failed or corrupted transfers: %d\n", missed, failed
    exit (failed > 0 ? 2 : 0)
  }' "$RESULTS"
echo
echo "  goodput = corpus bytes x 8 / transfer time (curl); LAN bytes: whole frames the"
echo "  client received; WAN bytes: whole frames the WAN emulator delivered towards the"
echo "  client; rtx: packets RSP retransmitted (both appliances)."

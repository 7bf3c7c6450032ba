#!/usr/bin/env bash
# pair.sh: an appliance pair in network namespaces.
#
#   client --- appliance A --- WAN emulator --- appliance B --- server
#   eth0    lan0  [A]  wan0    wa  [wan]  wb    wan0  [B]  lan0    eth0
#
# Five namespaces joined by veth pairs (offloads off, IPv6 off); three
# quilo-router processes (A, the WAN emulator, B), each with a control socket
# in the pair's state directory. Client 10.77.0.1 and server 10.77.0.2 share
# one subnet: the appliances and the emulator are transparent bridges. The
# appliances' own tunnel addresses are 10.77.0.11 (A) and 10.77.0.12 (B);
# each lists the other in its peers file.
#
# With -2 (--dual-wan) the sites are routed subnets joined by two paths,
# each behind a gateway of its own and with its own WAN emulator (router
# wan: path A, wanb: path B); the appliances run
# conf/appliance-dualwan.click and move between the paths:
#
#   client --- A --- sa ---+--- gwa --- wan  (path A) ---+--- sb --- B --- server
#                          +--- gwb --- wanb (path B) ---+
#
# sa and sb are switches (Linux bridges); the gateways gwa and gwb route
# between 10.77.1.0/24 (client .1, A .11, gwa .254, gwb .253) and
# 10.77.2.0/24 (server .2, B .12, gwa .254, gwb .253); the hosts' default
# gateway is gwa. -d, -r, -l, -o and -q set both emulators;
# "handler wan loss_ab.drop_prob 1" cuts path A from A to B.
#
# With -H N (--hub N, N from 1 to 8) one hub appliance (router b) in front
# of the server serves N spoke appliances (routers a1 .. aN), each with a
# client of its own and a WAN emulator of its own (wan1 .. wanN), so that
# every spoke has its own rate, delay and loss; the emulators meet the hub
# at a switch (a Linux bridge):
#
#   client1 --- a1 --- wan1 ---+
#   client2 --- a2 --- wan2 ---+--- sw --- b (hub) --- server
#   ...                        |
#   clientN --- aN --- wanN ---+
#
# All hosts share 10.77.0.0/24: client K is 10.77.0.10K, spoke K's tunnel
# address 10.77.0.2K, the hub's 10.77.0.12, the server 10.77.0.2. The hub
# lists spoke K on its peer port K (conf/appliance.click's branch peerK);
# each spoke lists the hub on port 1. -d, -r, -l and -o take a comma list,
# one value per spoke in order, the last repeated for the rest
# ("-r 10Mbps,2Mbps"). The hub serves all spokes when its tunnel to each is
# open; "wait" waits for that.
#
# Usage: scripts/pair.sh [OPTIONS] COMMAND [ARGS]
#
# Commands:
#   up                      build the topology, start the routers, wait until
#                           the tunnel is open (unless --no-wait); prints
#                           PAIR_NAME=... for the commands below
#   down                    stop the routers, delete the namespaces and the
#                           state directory (logs are kept with --keep)
#   run CMD [ARGS]          up, run CMD with PAIR_NAME, PAIR_STATE,
#                           PAIR_SCRIPT (and PAIR_STATS with --stats) in its
#                           environment, then down;
#                           teardown also happens on failure and Ctrl-C;
#                           exits with CMD's status
#   exec NODE CMD [ARGS]    run CMD in a node's namespace
#                           (NODE: client, a, wan, b, server; with -2 also
#                           sa, gwa, gwb, wanb, sb; with -H: clientK, aK,
#                           wanK, sw, b, server)
#   handler ROUTER NAME [VALUE]
#                           read a handler of a router (a, b, wan, wanb; with
#                           -H b, aK, wanK) through
#                           its control socket, or write VALUE to it
#                           (VALUE "-" reads the value from standard input)
#   stop ROUTER [SIGNAL]    send SIGNAL (default TERM) to a router and wait
#                           until it has gone
#   start ROUTER            start a stopped router again (same settings, or
#                           the configuration given with -c)
#   wait                    wait until both appliances have an open tunnel
#   status                  routers, their pids and the tunnel state
#   list                    state directories of pairs on this machine
#
# Options (before the command):
#   -n, --name NAME         pair name, prefix of every namespace (at most 10
#                           characters; default "qp" and the shell's pid for
#                           up and run); also from $PAIR_NAME
#   -B, --build DIR         build directory with bin/quilo-router (build)
#   -c, --conf FILE         appliance configuration (conf/appliance.click,
#                           with -2 conf/appliance-dualwan.click)
#   -2, --dual-wan          two routed WAN paths (above); for up and run,
#                           the pair's later commands know it
#   -H, --hub N             a hub and N spokes (above); likewise remembered
#   -D, --define NAME=VAL   extra define for both appliances (repeatable)
#       --define-a/--define-b NAME=VAL   for one appliance only
#   -d, --delay TIME        one-way WAN delay, each direction (20ms)
#   -r, --rate RATE         WAN rate, each direction (20Mbps; "0" unlimited)
#   -l, --loss P            loss probability, each direction (0)
#   -o, --reorder P         reordering probability, each direction (0)
#   -q, --queue N           WAN queue length in packets (1000)
#   -s, --ds-size MB        byte-cache datastore size of each appliance (512)
#   -j, --threads N         threads of each appliance router (1)
#       --wait-secs N       longest wait for the tunnel (60)
#       --no-wait           up returns once the routers answer
#       --keep              down keeps the state directory (logs)
#       --stats HOST:PORT   up and run also start quilo-stats (the dashboard
#                           and /metrics) against both appliances, listening
#                           on HOST:PORT (port 0: any free port), and print
#                           PAIR_STATS=http://HOST:PORT/; down stops it
#       --supervise         run each appliance under quilo-supervisor
#                           (fail-to-wire: lan0 and wan0 are joined in the
#                           kernel while its router is down or hung, and the
#                           router is restarted); "stop" then signals the
#                           supervisor, and $STATE/a.router.pid holds the
#                           router's own pid. QUILO_HANG_TIMEOUT and the
#                           supervisor's other variables pass through
#
# Everything a pair creates is named after NAME, so pairs never collide;
# its state (pids, logs, control sockets, peers files, datastores) is in
# ${PAIR_RUNDIR:-/tmp}/quilo-pair-NAME. Needs root, iproute2, ethtool,
# python3.
set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SRC_DIR=$(cd "$SCRIPT_DIR/.." && pwd)

NAME=${PAIR_NAME:-}
BUILD=$SRC_DIR/build
CONF=$SRC_DIR/conf/appliance.click
WAN_CONF=$SRC_DIR/conf/wan-emulator.click
DELAY=20ms
RATE=20Mbps
LOSS=0
REORDER=0
QUEUE=1000
THREADS=1
DS_SIZE=512
WAIT_SECS=60
NO_WAIT=0
KEEP=0
STATS_LISTEN=
SUPERVISE=0
CONF_GIVEN=0
DUAL=0
HUB=0
DEFS_BOTH=()
DEFS_A=()
DEFS_B=()

CLIENT_IP=10.77.0.1
SERVER_IP=10.77.0.2
A_IP=10.77.0.11
B_IP=10.77.0.12
A_MAC=02:77:00:00:0a:02
B_MAC=02:77:00:00:0b:02

die() { echo "pair.sh: $*" >&2; exit 1; }

usage() { sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'; }

while [ $# -gt 0 ]; do
  case $1 in
    -n|--name) NAME=$2; shift 2 ;;
    -B|--build) BUILD=$2; shift 2 ;;
    -c|--conf) CONF=$2; CONF_GIVEN=1; shift 2 ;;
    -2|--dual-wan) DUAL=1; shift ;;
    -H|--hub) HUB=$2; shift 2 ;;
    -D|--define) DEFS_BOTH+=("$2"); shift 2 ;;
    --define-a) DEFS_A+=("$2"); shift 2 ;;
    --define-b) DEFS_B+=("$2"); shift 2 ;;
    -d|--delay) DELAY=$2; shift 2 ;;
    -r|--rate) RATE=$2; shift 2 ;;
    -l|--loss) LOSS=$2; shift 2 ;;
    -o|--reorder) REORDER=$2; shift 2 ;;
    -q|--queue) QUEUE=$2; shift 2 ;;
    -s|--ds-size) DS_SIZE=$2; shift 2 ;;
    -j|--threads) THREADS=$2; shift 2 ;;
    --wait-secs) WAIT_SECS=$2; shift 2 ;;
    --no-wait) NO_WAIT=1; shift ;;
    --keep) KEEP=1; shift ;;
    --stats) STATS_LISTEN=$2; shift 2 ;;
    --supervise) SUPERVISE=1; shift ;;
    -h|--help) usage; exit 0 ;;
    --) shift; break ;;
    -*) die "unknown option $1 (see --help)" ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { usage >&2; exit 2; }
CMD=$1; shift

RUNDIR=${PAIR_RUNDIR:-/tmp}

# Commands that create a pair may pick a name; the others need one, or the
# only pair there is.
pick_name() {
  if [ -z "$NAME" ]; then
    case $CMD in
      up|run) NAME=qp$$ ;;
      list) ;;
      *)
        local found=("$RUNDIR"/quilo-pair-*)
        [ ${#found[@]} -eq 1 ] && [ -d "${found[0]}" ] || die "give the pair's name with -n NAME (or PAIR_NAME)"
        NAME=${found[0]##*/quilo-pair-} ;;
    esac
  fi
  [[ -z "$NAME" || "$NAME" =~ ^[A-Za-z0-9_]{1,10}$ ]] || die "pair name must be 1 to 10 letters, digits or _"
}
pick_name
STATE=$RUNDIR/quilo-pair-$NAME
NS_CLIENT=$NAME-client NS_A=$NAME-a NS_WAN=$NAME-wan NS_B=$NAME-b NS_SERVER=$NAME-server
NS_SA=$NAME-sa NS_GWA=$NAME-gwa NS_GWB=$NAME-gwb NS_WANB=$NAME-wanb NS_SB=$NAME-sb NS_SW=$NAME-sw
# A dual-WAN pair stays one for the commands that follow "up", and so does
# a hub with its spokes.
[ "$CMD" = up ] || [ "$CMD" = run ] || [ ! -f "$STATE/dual-wan" ] || DUAL=1
[ "$CMD" = up ] || [ "$CMD" = run ] || [ ! -f "$STATE/hub" ] || HUB=$(cat "$STATE/hub")
[[ "$HUB" =~ ^[0-8]$ ]] || die "--hub takes 1 to 8 spokes"
[ "$HUB" = 0 ] || [ "$DUAL" = 0 ] || die "--hub and --dual-wan do not go together"
if [ "$DUAL" = 1 ]; then
  [ "$CONF_GIVEN" = 1 ] || CONF=$SRC_DIR/conf/appliance-dualwan.click
  CLIENT_IP=10.77.1.1 SERVER_IP=10.77.2.2 A_IP=10.77.1.11 B_IP=10.77.2.12
fi

# spoke_of NAME: K for a node or router named like a spoke's (a2, client2,
# wan2) of a hub pair, else nothing.
spoke_of() {
  [ "$HUB" != 0 ] || return 0
  local k=${1##*[!0-9]}
  [ -n "$k" ] && [ "$k" -ge 1 ] && [ "$k" -le "$HUB" ] && [ "${1%"$k"}" != "$1" ] || return 0
  case ${1%"$k"} in a|client|wan) echo "$k" ;; esac
}

# nth LIST K: the K-th value of a comma list, the last one for K beyond it.
nth() {
  local IFS=, v; read -ra v <<<"$1"
  if [ "$2" -le ${#v[@]} ]; then echo "${v[$2-1]}"; else echo "${v[${#v[@]}-1]}"; fi
}

# Every router a pair may run, and its namespaces.
all_routers() {
  local k; echo a b wan wanb
  for k in $(seq 1 8); do echo "a$k" "wan$k"; done
}

ns_of() {
  if [ -n "$(spoke_of "$1")" ]; then echo "$NAME-$1"; return; fi
  [ "$HUB" = 0 ] || case $1 in
    sw) echo "$NS_SW"; return ;; b|server) ;;
    *) die "unknown node '$1' (clientK, aK, wanK for K 1 to $HUB, sw, b, server)" ;;
  esac
  case $1 in
    client) echo "$NS_CLIENT" ;; a) echo "$NS_A" ;; wan) echo "$NS_WAN" ;;
    b) echo "$NS_B" ;; server) echo "$NS_SERVER" ;;
    sa|gwa|gwb|wanb|sb)
      [ "$DUAL" = 1 ] || die "node '$1' exists only in a dual-WAN pair (-2)"
      case $1 in
        sa) echo "$NS_SA" ;; gwa) echo "$NS_GWA" ;; gwb) echo "$NS_GWB" ;;
        wanb) echo "$NS_WANB" ;; sb) echo "$NS_SB" ;;
      esac ;;
    *) die "unknown node '$1' (client, a, wan, b, server; sa, gwa, gwb, wanb, sb)" ;;
  esac
}

need_root() {
  [ "$(id -u)" -eq 0 ] || die "needs root (network namespaces); try: sudo $0 ..."
}

# --- control socket ---------------------------------------------------------

# ctl SOCKET READ|WRITE HANDLER [VALUE]: one handler call; prints the value
# read, exits 1 with the router's message on failure.
ctl() {
  python3 - "$@" <<'EOF'
import socket, sys
path, op, handler = sys.argv[1], sys.argv[2], sys.argv[3]
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(10)
try:
    s.connect(path)
except OSError as e:
    sys.exit("pair.sh: cannot reach %s: %s" % (path, e))
f = s.makefile("rb")
f.readline()  # banner
if op == "READ":
    s.sendall(b"READ %s\n" % handler.encode())
else:
    value = sys.argv[4].encode()
    s.sendall(b"WRITEDATA %s %d\n" % (handler.encode(), len(value)) + value)
status = f.readline().decode(errors="replace").rstrip("\r\n")
# Multi-line replies: "NNN-text" lines continue, "NNN text" ends.
while len(status) > 3 and status[3] == "-":
    status = f.readline().decode(errors="replace").rstrip("\r\n")
if not status.startswith("200"):
    sys.exit("pair.sh: %s %s: %s" % (op, handler, status))
if op == "READ":
    line = f.readline().decode().strip()
    if not line.startswith("DATA "):
        sys.exit("pair.sh: unexpected reply: %s" % line)
    n = int(line[5:])
    data = f.read(n) if n else b""
    sys.stdout.write(data.decode(errors="replace"))
    if data and not data.endswith(b"\n"):
        sys.stdout.write("\n")
try:
    s.sendall(b"QUIT\n")
except OSError:
    pass
EOF
}

router_sock() { echo "$STATE/$1.sock"; }

handler() {
  local r=$1 h=$2
  case $r in a|b|wan|wanb) ;; *) [ -n "$(spoke_of "$r")" ] || [ "$r" = stats ] || die "unknown router '$r' (a, b, wan, wanb; aK, wanK)" ;; esac
  if [ $# -ge 3 ]; then
    local v=$3
    [ "$v" = "-" ] && v=$(cat)
    ctl "$(router_sock "$r")" WRITE "$h" "$v"
  else
    ctl "$(router_sock "$r")" READ "$h"
  fi
}

# --- routers ------------------------------------------------------------------

router_pid() { cat "$STATE/$1.pid" 2>/dev/null || true; }

# The program that runs router $1: quilo-router itself, or for an appliance
# of a pair that was brought up with --supervise, the supervisor around it.
router_launcher() {
  if [ "${1#wan}" = "$1" ] && [ -f "$STATE/supervise" ]; then
    [ -x "$BUILD/bin/quilo-supervisor" ] || die "no $BUILD/bin/quilo-supervisor (build first)"
    echo "$BUILD/bin/quilo-supervisor"; echo --router; echo "$BUILD/bin/quilo-router"
    echo --router-pid-file; echo "$STATE/$1.router.pid"; echo --stop-timeout; echo 3; echo --
  else
    echo "$BUILD/bin/quilo-router"
  fi
}

router_alive() {
  local pid; pid=$(router_pid "$1")
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
}

start_router() {
  local r=$1 ns args=()
  ns=$(ns_of "$r")
  [ -x "$BUILD/bin/quilo-router" ] || die "no $BUILD/bin/quilo-router (build first, or give -B DIR)"
  router_alive "$r" && die "router $r is already running"
  rm -f "$(router_sock "$r")"
  # The settings a router was started with are kept, so "start" after
  # "stop" brings back the same router; "-c FILE start a" changes an
  # appliance's configuration (say from conf/bridge.click to the appliance).
  [ "$CONF_GIVEN" = 0 ] || [ "${r#wan}" != "$r" ] || rm -f "$STATE/$r.args"
  if [ ! -f "$STATE/$r.args" ]; then
    local k; k=$(spoke_of "$r")
    case $r in
      wan[1-8])
        local bw delay loss reorder
        bw=$(nth "$RATE" "$k") delay=$(nth "$DELAY" "$k") loss=$(nth "$LOSS" "$k") reorder=$(nth "$REORDER" "$k")
        [ "$bw" = 0 ] && bw=100Gbps
        args=("$WAN_CONF" DEV_A=wa DEV_B=wb "DELAY_AB=$delay" "DELAY_BA=$delay" "BW_AB=$bw" "BW_BA=$bw"
              "LOSS_AB=$loss" "LOSS_BA=$loss" "REORDER_AB=$reorder" "REORDER_BA=$reorder" "QUEUE=$QUEUE") ;;
      a[1-8])
        mkdir -p "$STATE/ds-$r"
        [ -f "$STATE/peers-$r" ] || echo "$B_IP, 1, , ${B_MAC//:/-}" >"$STATE/peers-$r"
        args=(-j "$THREADS" "$CONF" LAN_DEV=lan0 WAN_DEV=wan0 "LOCAL_IP=$(spoke_ip "$k")" "MAC=$(spoke_mac "$k")"
              "PEERS_FILE=$STATE/peers-$r" "DS_DIR=$STATE/ds-$r" "DS_SIZE=$DS_SIZE" "HOSTNAME=$NAME-$r" RSP_MODE=client
              ${DEFS_BOTH[@]+"${DEFS_BOTH[@]}"} ${DEFS_A[@]+"${DEFS_A[@]}"}) ;;
      wan|wanb)
        local bw=$RATE
        [ "$bw" = 0 ] && bw=100Gbps
        args=("$WAN_CONF" DEV_A=wa DEV_B=wb "DELAY_AB=$DELAY" "DELAY_BA=$DELAY" "BW_AB=$bw" "BW_BA=$bw"
              "LOSS_AB=$LOSS" "LOSS_BA=$LOSS" "REORDER_AB=$REORDER" "REORDER_BA=$REORDER" "QUEUE=$QUEUE") ;;
      a|b)
        local ip mac peer_ip peer_mac mode extra=()
        if [ "$r" = a ]; then
          ip=$A_IP mac=$A_MAC peer_ip=$B_IP peer_mac=$B_MAC mode=client extra=(${DEFS_A[@]+"${DEFS_A[@]}"})
        else
          ip=$B_IP mac=$B_MAC peer_ip=$A_IP peer_mac=$A_MAC mode=server extra=(${DEFS_B[@]+"${DEFS_B[@]}"})
        fi
        if [ "$HUB" != 0 ]; then
          # The hub lists spoke K on its peer port K.
          [ -f "$STATE/peers-$r" ] || for k in $(seq 1 "$HUB"); do
            echo "$(spoke_ip "$k"), $k, , $(spoke_mac "$k" | tr : -)"
          done >"$STATE/peers-$r"
        fi
        [ -f "$STATE/peers-$r" ] || echo "$peer_ip, 1, , ${peer_mac//:/-}" >"$STATE/peers-$r"
        # Each site's gateways: .254 (path A) and .253 (path B) of its subnet.
        [ "$DUAL" = 0 ] || extra=("PRIMARY_GW=${ip%.*}.254" "SECONDARY_GW=${ip%.*}.253" ${extra[@]+"${extra[@]}"})
        mkdir -p "$STATE/ds-$r"
        args=(-j "$THREADS" "$CONF" LAN_DEV=lan0 WAN_DEV=wan0 "LOCAL_IP=$ip" "MAC=$mac"
              "PEERS_FILE=$STATE/peers-$r" "DS_DIR=$STATE/ds-$r" "DS_SIZE=$DS_SIZE" "HOSTNAME=$NAME-$r" "RSP_MODE=$mode"
              ${DEFS_BOTH[@]+"${DEFS_BOTH[@]}"} ${extra[@]+"${extra[@]}"}) ;;
    esac
    printf '%s\0' "${args[@]}" >"$STATE/$r.args"
  fi
  mapfile -d '' args <"$STATE/$r.args"
  echo "=== start $(date -u +%T.%N | cut -c1-12)" >>"$STATE/$r.log"
  local launcher; mapfile -t launcher < <(router_launcher "$r")
  [ ${#launcher[@]} -gt 0 ] || exit 1
  ip netns exec "$ns" "${launcher[@]}" -u "$(router_sock "$r")" "${args[@]}" \
    >>"$STATE/$r.log" 2>&1 </dev/null &
  echo $! >"$STATE/$r.pid"
  # Ready once the control socket answers.
  local i
  for i in $(seq 1 200); do
    if ! router_alive "$r"; then
      tail -n 30 "$STATE/$r.log" >&2
      die "router $r exited during start-up (log: $STATE/$r.log)"
    fi
    if [ -S "$(router_sock "$r")" ] && ctl "$(router_sock "$r")" READ version >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.05
  done
  die "router $r does not answer on its control socket (log: $STATE/$r.log)"
}

stop_router() {
  local r=$1 sig=${2:-TERM} pid i
  pid=$(router_pid "$r")
  [ -n "$pid" ] || return 0
  kill -"$sig" "$pid" 2>/dev/null || true
  for i in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    sleep 0.1
  fi
  wait "$pid" 2>/dev/null || true
  rm -f "$STATE/$r.pid"
}

# The tunnel is up when both appliances' probes are on, their bypass is off
# and RSP has opened (the compressor streams again).
tunnel_open() {
  local r
  # A configuration without the tunnel (a plain bridge) is open at once.
  if [ "$HUB" != 0 ]; then
    local k
    for k in $(seq 1 "$HUB"); do
      appliance_open "a$k" 1 && appliance_open b "$k" || return 1
    done
    return 0
  fi
  handler a list 2>/dev/null | grep -qxE 'comp1|peer1/comp' || return 0
  for r in a b; do
    appliance_open "$r" 1 || return 1
  done
}

# appliance_open ROUTER PORT: the appliance's probes are on, its bypass is
# off and the tunnel of its peer branch PORT streams (peerN/ elements of
# conf/appliance.click, or compN of a configuration with numbered names).
appliance_open() {
  local r=$1 p=$2 pre
  [ "$(handler "$r" ph.done 2>/dev/null)" = true ] || return 1
  [ "$(handler "$r" bypass.bypass 2>/dev/null)" = false ] || return 1
  # The single- or the multi-threaded compressor, whichever RSP drives.
  for pre in "peer$p/comp" "peer$p/mtcomp" "comp$p" "mtcomp$p"; do
    [ "$(handler "$r" "$pre.active_method" 2>/dev/null)" = Streaming ] && return 0
  done
  return 1
}

# The appliances of this pair: a and b, or the spokes and the hub.
appliances() {
  if [ "$HUB" = 0 ]; then echo a b; else seq -f 'a%g' 1 "$HUB"; echo b; fi
}

wait_tunnel() {
  local deadline=$((SECONDS + WAIT_SECS)) r
  while [ $SECONDS -lt $deadline ]; do
    tunnel_open && return 0
    for r in $(appliances); do
      router_alive "$r" || die "router $r has exited (log: $STATE/$r.log)"
    done
    sleep 0.5
  done
  die "the tunnel did not open within ${WAIT_SECS}s (logs in $STATE)"
}

# --- quilo-stats -------------------------------------------------------------

# Starts quilo-stats against both appliances' control sockets (it reconnects
# by itself when an appliance restarts); its address lands in $STATE/stats.url.
start_stats() {
  [ -n "$STATS_LISTEN" ] || return 0
  [ -x "$BUILD/bin/quilo-stats" ] || die "no $BUILD/bin/quilo-stats (build first, or give -B DIR)"
  # The log exists before it is read below, whenever the background job opens it.
  : >"$STATE/stats.log"
  local socks=() r
  for r in $(appliances); do socks+=("$r=$(router_sock "$r")"); done
  "$BUILD/bin/quilo-stats" --listen "$STATS_LISTEN" "${socks[@]}" \
    >"$STATE/stats.log" 2>&1 </dev/null &
  echo $! >"$STATE/stats.pid"
  local i url
  for i in $(seq 1 100); do
    url=$(sed -n 's/^quilo-stats: dashboard at //p' "$STATE/stats.log")
    if [ -n "$url" ]; then
      echo "$url" >"$STATE/stats.url"
      return 0
    fi
    router_alive stats || break
    sleep 0.05
  done
  cat "$STATE/stats.log" >&2
  die "quilo-stats did not start (log: $STATE/stats.log)"
}

stats_url() { cat "$STATE/stats.url" 2>/dev/null || true; }

# --- topology ---------------------------------------------------------------

# link NS1 DEV1 NS2 DEV2 [MAC1]: a veth pair between two namespaces.
link() {
  ip link add "$2" netns "$1" type veth peer name "$4" netns "$3"
  [ -z "${5:-}" ] || ip -n "$1" link set "$2" address "$5"
}

prepare_dev() {
  local ns=$1 dev=$2
  ip netns exec "$ns" ethtool -K "$dev" tso off gso off gro off tx off rx off >/dev/null 2>&1 || true
  ip -n "$ns" link set "$dev" up
}

topology_up() {
  local ns
  for ns in "$NS_CLIENT" "$NS_A" "$NS_WAN" "$NS_B" "$NS_SERVER"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  done
  link "$NS_CLIENT" eth0 "$NS_A" lan0
  link "$NS_A" wan0 "$NS_WAN" wa "$A_MAC"
  link "$NS_WAN" wb "$NS_B" wan0
  ip -n "$NS_B" link set wan0 address "$B_MAC"
  link "$NS_B" lan0 "$NS_SERVER" eth0
  prepare_dev "$NS_CLIENT" eth0
  prepare_dev "$NS_A" lan0; prepare_dev "$NS_A" wan0
  prepare_dev "$NS_WAN" wa; prepare_dev "$NS_WAN" wb
  prepare_dev "$NS_B" wan0; prepare_dev "$NS_B" lan0
  prepare_dev "$NS_SERVER" eth0
  ip -n "$NS_CLIENT" addr add "$CLIENT_IP/24" dev eth0
  ip -n "$NS_SERVER" addr add "$SERVER_IP/24" dev eth0
}

# The dual-WAN topology: two switches, two gateways, one emulator per path.
topology_up_dual() {
  local ns sw dev
  for ns in "$NS_CLIENT" "$NS_A" "$NS_SA" "$NS_GWA" "$NS_GWB" "$NS_WAN" "$NS_WANB" "$NS_SB" "$NS_B" "$NS_SERVER"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  done
  for ns in "$NS_GWA" "$NS_GWB"; do
    ip netns exec "$ns" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.conf.all.rp_filter=0 \
      net.ipv4.conf.default.rp_filter=0 net.ipv4.conf.all.send_redirects=0 net.ipv4.conf.default.send_redirects=0
  done
  link "$NS_CLIENT" eth0 "$NS_A" lan0
  link "$NS_A" wan0 "$NS_SA" pa "$A_MAC"
  link "$NS_GWA" a0 "$NS_SA" pgwa 02:77:00:01:0a:fe
  link "$NS_GWB" a0 "$NS_SA" pgwb 02:77:00:01:0b:fd
  link "$NS_GWA" b0 "$NS_WAN" wa 02:77:00:02:0a:fe
  link "$NS_GWB" b0 "$NS_WANB" wa 02:77:00:02:0b:fd
  link "$NS_WAN" wb "$NS_SB" pwan
  link "$NS_WANB" wb "$NS_SB" pwanb
  link "$NS_B" wan0 "$NS_SB" pb "$B_MAC"
  link "$NS_B" lan0 "$NS_SERVER" eth0
  for sw in "$NS_SA" "$NS_SB"; do
    ip -n "$sw" link add br0 type bridge
    ip -n "$sw" link set br0 up
  done
  for dev in pa pgwa pgwb; do ip -n "$NS_SA" link set "$dev" master br0; prepare_dev "$NS_SA" "$dev"; done
  for dev in pb pwan pwanb; do ip -n "$NS_SB" link set "$dev" master br0; prepare_dev "$NS_SB" "$dev"; done
  prepare_dev "$NS_CLIENT" eth0
  prepare_dev "$NS_A" lan0; prepare_dev "$NS_A" wan0
  for ns in "$NS_GWA" "$NS_GWB"; do prepare_dev "$ns" a0; prepare_dev "$ns" b0; done
  for ns in "$NS_WAN" "$NS_WANB"; do prepare_dev "$ns" wa; prepare_dev "$ns" wb; done
  prepare_dev "$NS_B" wan0; prepare_dev "$NS_B" lan0
  prepare_dev "$NS_SERVER" eth0
  ip -n "$NS_GWA" addr add 10.77.1.254/24 dev a0; ip -n "$NS_GWA" addr add 10.77.2.254/24 dev b0
  ip -n "$NS_GWB" addr add 10.77.1.253/24 dev a0; ip -n "$NS_GWB" addr add 10.77.2.253/24 dev b0
  ip -n "$NS_CLIENT" addr add "$CLIENT_IP/24" dev eth0
  ip -n "$NS_CLIENT" route add default via 10.77.1.254
  ip -n "$NS_SERVER" addr add "$SERVER_IP/24" dev eth0
  ip -n "$NS_SERVER" route add default via 10.77.2.254
}

# The hub topology: spoke K's client, appliance and emulator in a row, the
# emulators on one switch with the hub.
topology_up_hub() {
  local ns k
  for ns in "$NS_SW" "$NS_B" "$NS_SERVER"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  done
  ip -n "$NS_SW" link add br0 type bridge
  ip -n "$NS_SW" link set br0 up
  link "$NS_SW" ph "$NS_B" wan0
  ip -n "$NS_B" link set wan0 address "$B_MAC"
  link "$NS_B" lan0 "$NS_SERVER" eth0
  for k in $(seq 1 "$HUB"); do
    for ns in "$NAME-client$k" "$NAME-a$k" "$NAME-wan$k"; do
      ip netns add "$ns"
      ip -n "$ns" link set lo up
      ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
    done
    link "$NAME-client$k" eth0 "$NAME-a$k" lan0
    link "$NAME-a$k" wan0 "$NAME-wan$k" wa "$(spoke_mac "$k")"
    link "$NAME-wan$k" wb "$NS_SW" "p$k"
    ip -n "$NS_SW" link set "p$k" master br0
    prepare_dev "$NS_SW" "p$k"
    prepare_dev "$NAME-client$k" eth0
    prepare_dev "$NAME-a$k" lan0; prepare_dev "$NAME-a$k" wan0
    prepare_dev "$NAME-wan$k" wa; prepare_dev "$NAME-wan$k" wb
    ip -n "$NAME-client$k" addr add "10.77.0.10$k/24" dev eth0
  done
  ip -n "$NS_SW" link set ph master br0
  prepare_dev "$NS_SW" ph
  prepare_dev "$NS_B" wan0; prepare_dev "$NS_B" lan0
  prepare_dev "$NS_SERVER" eth0
  ip -n "$NS_SERVER" addr add "$SERVER_IP/24" dev eth0
}

spoke_ip() { echo "10.77.0.2$1"; }
spoke_mac() { echo "02:77:00:00:a$1:02"; }

topology_down() {
  local ns k
  for ns in "$NS_CLIENT" "$NS_A" "$NS_WAN" "$NS_B" "$NS_SERVER" "$NS_SA" "$NS_GWA" "$NS_GWB" "$NS_WANB" "$NS_SB" \
            "$NS_SW"; do
    ip netns del "$ns" 2>/dev/null || true
  done
  for k in $(seq 1 8); do
    for ns in "$NAME-client$k" "$NAME-a$k" "$NAME-wan$k"; do ip netns del "$ns" 2>/dev/null || true; done
  done
}

do_down() {
  local r
  stop_router stats
  for r in $(all_routers); do stop_router "$r"; done
  topology_down
  if [ "$KEEP" = 1 ]; then
    echo "pair.sh: logs kept in $STATE" >&2
  else
    rm -rf "$STATE"
  fi
}

do_up() {
  need_root
  [ -f "$CONF" ] || die "no configuration $CONF"
  [ -x "$BUILD/bin/quilo-router" ] || die "no $BUILD/bin/quilo-router (build first, or give -B DIR)"
  ip netns list | grep -q "^$NAME-" && die "namespaces of pair '$NAME' exist already (pair.sh -n $NAME down)"
  mkdir -p "$STATE"
  [ "$SUPERVISE" = 0 ] || touch "$STATE/supervise"
  # Whatever fails from here on takes the pair down with it.
  trap 'rc=$?; trap - EXIT INT TERM; do_down; exit $rc' EXIT
  trap 'exit 130' INT TERM
  if [ "$HUB" != 0 ]; then
    echo "$HUB" >"$STATE/hub"
    topology_up_hub
    for k in $(seq 1 "$HUB"); do start_router "wan$k"; start_router "a$k"; done
    start_router b
  else
    if [ "$DUAL" = 1 ]; then
      touch "$STATE/dual-wan"
      topology_up_dual
      start_router wanb
    else
      topology_up
    fi
    start_router wan
    start_router a
    start_router b
  fi
  [ "$NO_WAIT" = 1 ] || wait_tunnel
  start_stats
  trap - EXIT INT TERM
}

case $CMD in
  up)
    do_up
    echo "PAIR_NAME=$NAME"
    echo "PAIR_STATE=$STATE"
    [ -z "$(stats_url)" ] || echo "PAIR_STATS=$(stats_url)" ;;
  down)
    need_root
    do_down ;;
  run)
    [ $# -ge 1 ] || die "run needs a command"
    do_up
    trap 'rc=$?; trap - EXIT INT TERM; do_down; exit $rc' EXIT
    trap 'exit 130' INT TERM
    rc=0
    [ -z "$(stats_url)" ] || echo "pair.sh: dashboard at $(stats_url)" >&2
    PAIR_STATS=$(stats_url) PAIR_NAME=$NAME PAIR_STATE=$STATE PAIR_SCRIPT=${BASH_SOURCE[0]} PAIR_BUILD=$BUILD "$@" || rc=$?
    exit $rc ;;
  exec)
    [ $# -ge 2 ] || die "exec needs a node and a command"
    ns=$(ns_of "$1"); shift
    exec ip netns exec "$ns" "$@" ;;
  handler)
    [ $# -ge 2 ] || die "handler needs a router and a handler name"
    handler "$@" ;;
  stop)
    [ $# -ge 1 ] || die "stop needs a router"
    stop_router "$1" "${2:-TERM}" ;;
  start)
    [ $# -ge 1 ] || die "start needs a router"
    start_router "$1" ;;
  wait)
    wait_tunnel ;;
  status)
    routers="a wan b"
    [ "$DUAL" = 0 ] || routers="a wan wanb b"
    [ "$HUB" = 0 ] || routers="$(for k in $(seq 1 "$HUB"); do echo "a$k wan$k"; done) b"
    for r in $routers; do
      if router_alive "$r"; then echo "$r: running, pid $(router_pid "$r")"; else echo "$r: stopped"; fi
    done
    if tunnel_open; then echo "tunnel: open"; else echo "tunnel: not open"; fi
    if router_alive stats; then echo "dashboard: $(stats_url)"; fi ;;
  list)
    ls -d "$RUNDIR"/quilo-pair-* 2>/dev/null || true ;;
  *)
    die "unknown command '$CMD' (see --help)" ;;
esac

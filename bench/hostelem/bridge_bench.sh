#!/bin/sh
# User-level bridge (FromDevice -> Queue -> ToDevice) against the Linux
# bridge on the same veth topology, in the same run:
#
#   gen ns: g0  <->  b0 : br ns : b1  <->  s0 : sink ns
#
# A quilo-router in the gen namespace floods g0 with UDP frames (FlowSource)
# for DURATION seconds; the frames forwarded are counted on s0. Kernel and
# quilo runs alternate ROUNDS times per frame size and the medians are
# compared, so that load from other programs hits both alike. Prints packets
# per second for 60-byte (64 on the wire) and 1514-byte frames, the ratio
# quilo/kernel, and the CPU time the quilo bridge spent per forwarded frame
# (user + system, including the kernel work its system calls do), which
# depends far less on the machine's load than the rates.
# Needs root. Usage: bridge_bench.sh [BUILD_DIR] [DURATION] [ROUNDS]
set -eu
BUILD=${1:-build}
DUR=${2:-3}
ROUNDS=${3:-3}
QR=$BUILD/bin/quilo-router
[ "$(id -u)" = 0 ] || { echo "bridge_bench: needs root" >&2; exit 1; }
[ -x "$QR" ] || { echo "bridge_bench: $QR not built" >&2; exit 1; }
T=qbb$$
GEN=${T}gen BR=${T}br SINK=${T}sink
PIDS=""
cleanup() {
    for p in $PIDS; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for n in $GEN $BR $SINK; do ip netns del $n 2>/dev/null || true; done
}
trap cleanup EXIT INT TERM
for n in $GEN $BR $SINK; do ip netns add $n; ip -n $n link set lo up; done
ip link add g0 netns $GEN type veth peer name b0 netns $BR
ip link add b1 netns $BR type veth peer name s0 netns $SINK
for nd in $GEN:g0 $BR:b0 $BR:b1 $SINK:s0; do
    n=${nd%%:*} d=${nd#*:}
    ip -n $n link set $d up
    ip netns exec $n ethtool -K $d tso off gso off gro off tx off rx off >/dev/null 2>&1 || true
done

rx() { ip -n $SINK -s link show s0 | awk '/RX:/ {getline; print $2; exit}'; }

# cpu_ticks PID: user + system clock ticks the process has used
cpu_ticks() { awk '{print $14 + $15}' /proc/$1/stat 2>/dev/null || echo 0; }

# run_one LENGTH [BRIDGE_PID]: forwarded packets per second with whatever
# bridge is up; with BRIDGE_PID also its CPU microseconds per frame.
run_one() {
    ip netns exec $GEN $QR -e "FlowSource(PROTO udp, FLOWS 64, LENGTH $1, BURST 64) -> Queue(4096) -> ToDevice(g0, BURST 64);" >/dev/null 2>&1 &
    gp=$!
    PIDS="$PIDS $gp"
    sleep 1
    ca=0 cb=0
    [ -n "${2:-}" ] && ca=$(cpu_ticks $2)
    a=$(rx); t0=$(date +%s.%N)
    sleep "$DUR"
    b=$(rx); t1=$(date +%s.%N)
    [ -n "${2:-}" ] && cb=$(cpu_ticks $2)
    kill $gp 2>/dev/null || true; wait $gp 2>/dev/null || true
    sleep 0.3
    echo "$a $b $t0 $t1 $ca $cb $(getconf CLK_TCK)" |
        awk '{n = $2 - $1; printf "%.0f %.2f", n / ($4 - $3), (n > 0) ? ($6 - $5) / $7 * 1e6 / n : 0}'
}

kernel_bridge() {
    ip -n $BR link add br0 type bridge
    ip -n $BR link set br0 type bridge ageing_time 30000 stp_state 0
    ip -n $BR link set b0 master br0
    ip -n $BR link set b1 master br0
    ip -n $BR link set br0 up
}
kernel_unbridge() {
    ip -n $BR link set b0 nomaster
    ip -n $BR link set b1 nomaster
    ip -n $BR link del br0
}

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

for len in 18 1472; do
    frame=$((len + 42))
    ks="" qs="" cs=""
    r=0
    while [ $r -lt "$ROUNDS" ]; do
        r=$((r + 1))
        kernel_bridge
        k=$(run_one $len)
        kernel_unbridge
        ip netns exec $BR $QR -e "FromDevice(b0, PROMISC true, BURST 64) -> Queue(4096) -> ToDevice(b1, BURST 64);" >/dev/null 2>&1 &
        qp=$!
        PIDS="$PIDS $qp"
        sleep 0.5
        q=$(run_one $len $qp)
        kill $qp 2>/dev/null || true; wait $qp 2>/dev/null || true
        ks="$ks ${k% *}" qs="$qs ${q% *}" cs="$cs ${q#* }"
    done
    k=$(echo $ks | tr ' ' '\n' | median)
    q=$(echo $qs | tr ' ' '\n' | median)
    c=$(echo $cs | tr ' ' '\n' | median)
    echo "$frame $k $q $c" | awk '{r = ($2 > 0) ? $3 / $2 : 0; printf "%5d-byte frames: kernel bridge %9d pps   quilo bridge %9d pps   ratio %.2f   quilo CPU %.2f us/frame\n", $1, $2, $3, r, $4}'
done

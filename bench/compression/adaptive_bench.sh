#!/usr/bin/env bash
# The adaptive compression level on the demonstration's corpus (real files of
# this machine, as scripts/demo.sh collects them): one cold transfer per case
# through a fresh appliance pair (scripts/pair.sh), in one run:
#   - WAN 20 Mbit/s, 20 ms: zstd level 3 fixed, and zstd ADAPTIVE (from
#     level 3); WAN bytes against whole-file zstd -3 of the corpus
#     (goal: adaptive within 1.3 times);
#   - unlimited WAN, 20 ms: LZ4 level 1 (the reference configuration) and
#     zstd ADAPTIVE, in ROUNDS alternating pairs, since one such transfer
#     takes about a second and a half and varies by 10% from run to run;
#     goodput against LZ4 as the ratio of the median times (goal: no lower).
# Prints WAN bytes, time, goodput and the level B's compressor ended at for
# every transfer, then the two ratios.
#
#   bench/compression/adaptive_bench.sh [BUILD_DIR]
#       (root; ADAPTIVE_MB, default 50; ROUNDS, default 3)
set -euo pipefail

SRC_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:-$SRC_DIR/build}" && pwd)
MB=${ADAPTIVE_MB:-50}
ROUNDS=${ROUNDS:-3}
PAIR="$SRC_DIR/scripts/pair.sh -B $BUILD"
WORK=$(mktemp -d /tmp/quilo-adaptive.XXXXXX)
NAME=
SERVER_PID=
cleanup() {
  [ -z "$SERVER_PID" ] || kill "$SERVER_PID" 2>/dev/null || true
  [ -z "$NAME" ] || $PAIR -n "$NAME" down >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/www"
find /usr/bin /usr/share/doc /usr/lib/x86_64-linux-gnu /usr/include /usr/share /usr/lib \
    -xdev -type f -size +0 -size -8M -readable -printf '%s %p\n' 2>/dev/null | awk '!seen[$2]++' |
  awk -v max=$((MB * 1048576)) '
    total + $1 <= max { total += $1; sub(/^[0-9]+ /, ""); print }
    total >= max * 0.99 { exit }' >"$WORK/files" || true
tar -cf "$WORK/www/corpus.tar" --files-from="$WORK/files" --no-recursion 2>/dev/null || true
BYTES=$(stat -c %s "$WORK/www/corpus.tar")
SHA=$(sha256sum "$WORK/www/corpus.tar" | cut -d' ' -f1)
ZSTD3=$(zstd -3 -c -q "$WORK/www/corpus.tar" | wc -c)
echo "corpus: $BYTES bytes; whole-file zstd -3: $ZSTD3 bytes; load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-26s %12s %8s %9s %12s %7s  %s\n' case "WAN bytes" "x zstd3" time "goodput" level SHA-256

# case LABEL RATE DEFINES...
run_case() {
  local label=$1 rate=$2
  shift 2
  local defs=() d
  for d in "$@"; do defs+=(-D "$d"); done
  NAME=qa$((RANDOM % 100000))
  $PAIR -n "$NAME" -r "$rate" -d 20ms -q 4000 -D LOG_LEVEL=1 "${defs[@]}" up >/dev/null
  $PAIR -n "$NAME" exec server python3 "$SRC_DIR/scripts/serve.py" -b 10.77.0.2 -p 8080 -d "$WORK/www" \
    >/dev/null 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 1 50); do
    $PAIR -n "$NAME" exec client curl -s -o /dev/null http://10.77.0.2:8080/ 2>/dev/null && break
    sleep 0.2
  done
  local wan0 wan1 t sha level
  wan0=$($PAIR -n "$NAME" handler wan bytes_ba.byte_count)
  t=$($PAIR -n "$NAME" exec client curl -sf -o "$WORK/got.tar" -w '%{time_total}' --max-time 900 \
      http://10.77.0.2:8080/corpus.tar)
  sleep 0.3
  wan1=$($PAIR -n "$NAME" handler wan bytes_ba.byte_count)
  level=$($PAIR -n "$NAME" handler b peer1/comp.level)
  sha=mismatch
  [ "$(sha256sum "$WORK/got.tar" | cut -d' ' -f1)" = "$SHA" ] && sha=match
  kill "$SERVER_PID" 2>/dev/null || true
  SERVER_PID=
  $PAIR -n "$NAME" down >/dev/null 2>&1 || true
  NAME=
  awk -v l="$label" -v w=$((wan1 - wan0)) -v z="$ZSTD3" -v t="$t" -v n="$BYTES" -v lv="$level" -v s="$sha" \
    'BEGIN { printf "%-26s %12d %8.2f %8.2fs %7.2f Mbit/s %7s  %s\n", l, w, w / z, t, n * 8 / t / 1e6, lv, s }'
  echo "$label $((wan1 - wan0)) $t" >>"$WORK/results"
}

# median LABEL FIELD: the median of one column over a case's transfers.
median() {
  awk -v l="$1" -v f="$2" '{ c = $0; sub(/ [^ ]+ [^ ]+$/, "", c) } c == l { split($0, a, " "); print a[NF - 2 + f] }' \
    "$WORK/results" | sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

run_case "20M zstd-3 fixed" 20Mbps COMPRESSOR=4 LEVEL=3
run_case "20M zstd adaptive" 20Mbps COMPRESSOR=4 LEVEL=3 ADAPTIVE=true
for _ in $(seq 1 "$ROUNDS"); do
  run_case "unlimited LZ4-1" 0 COMPRESSOR=2 LEVEL=1
  run_case "unlimited zstd adaptive" 0 COMPRESSOR=4 LEVEL=3 ADAPTIVE=true
done
awk -v a="$(median "20M zstd adaptive" 1)" -v z="$ZSTD3" \
  'BEGIN { printf "20 Mbit/s: adaptive WAN bytes / whole-file zstd -3: %.2f (goal: at most 1.3)\n", a / z }'
awk -v l="$(median "unlimited LZ4-1" 2)" -v a="$(median "unlimited zstd adaptive" 2)" -v r="$ROUNDS" \
  'BEGIN { printf "unlimited: adaptive goodput / LZ4-1 goodput: %.2f, median of %d alternating pairs (goal: at least 1)\n", l / a, r }'
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"

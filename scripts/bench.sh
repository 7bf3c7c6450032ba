#!/usr/bin/env bash
# Runs every benchmark in bench/ that this machine can run ("make bench"):
# each program that bench/*/CMakeLists.txt builds and each bench/*/*.sh
# script, one after the other, each printing its figures and its ratios
# against its goal. A one-screen summary follows: per benchmark its status,
# its running time, and the goals it missed (or its last verdicts).
#
#   scripts/bench.sh [BUILD_DIR]
#
# Environment:
#   BENCH_ONLY   run only these benchmarks (names, space separated, such as
#                "pair_bench host_bench")
#   BENCH_SKIP   leave these out
#   BENCH_LOG    directory for each benchmark's full output (a temporary
#                directory, removed at the end unless given)
# Benchmarks that build network namespaces (the pair, the bridge, the relay)
# need root; without it they are listed as skipped. Each benchmark also
# reads its own BENCH_* settings (see its header).
set -uo pipefail

SRC_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(cd "${1:-$SRC_DIR/build}" 2>/dev/null && pwd) || { echo "bench: no build directory ${1:-build}" >&2; exit 1; }
LOG=${BENCH_LOG:-}
KEEP_LOG=1
if [ -z "$LOG" ]; then
  LOG=$(mktemp -d /tmp/quilo-bench.XXXXXX)
  KEEP_LOG=0
fi
mkdir -p "$LOG"
trap '[ "$KEEP_LOG" = 1 ] || rm -rf "$LOG"' EXIT

# Benchmarks that need root (network namespaces).
ROOT_ONLY=" relay_bench pair_bench bridge_bench "

wanted() {
  local n=$1
  if [ -n "${BENCH_ONLY:-}" ] && [[ " $BENCH_ONLY " != *" $n "* ]]; then return 1; fi
  [[ " ${BENCH_SKIP:-} " != *" $n "* ]]
}

# name|command lines, programs first, then scripts.
list=()
for f in "$SRC_DIR"/bench/*/CMakeLists.txt; do
  for n in $(sed -n 's/^[[:space:]]*\(quilo_add_bench\|add_executable\)(\([A-Za-z0-9_]*\).*/\2/p' "$f"); do
    list+=("$n|$BUILD/bin/$n")
  done
done
for f in "$SRC_DIR"/bench/*/*.sh; do
  n=$(basename "$f" .sh)
  list+=("$n|$f $BUILD")
done

summary=()
status_all=0
for entry in "${list[@]}"; do
  name=${entry%%|*} cmd=${entry#*|}
  wanted "$name" || continue
  prog=${cmd%% *}
  if [ ! -x "$prog" ]; then
    summary+=("$(printf '%-26s %-9s %s' "$name" skipped "not built (Google Benchmark missing?)")")
    continue
  fi
  if [[ "$ROOT_ONLY" == *" $name "* ]] && [ "$(id -u)" -ne 0 ]; then
    summary+=("$(printf '%-26s %-9s %s' "$name" skipped "needs root")")
    continue
  fi
  echo "=== $name ($(date +%T), load $(cut -d' ' -f1-3 /proc/loadavg))"
  start=$SECONDS
  # shellcheck disable=SC2086
  (cd "$BUILD" && $cmd) 2>&1 | tee "$LOG/$name.log"
  rc=${PIPESTATUS[0]}
  secs=$((SECONDS - start))
  state=ok
  [ "$rc" = 0 ] || { state="exit $rc"; status_all=1; }
  missed=$(grep -c 'NOT met' "$LOG/$name.log" || true)
  [ "$missed" = 0 ] || status_all=1
  summary+=("$(printf '%-26s %-9s %4dm%02ds  %s' "$name" "$state" $((secs / 60)) $((secs % 60)) \
              "$( [ "$missed" = 0 ] || echo "goals missed: $missed")")")
  # The goals it missed (at most six lines), else its last verdicts.
  if [ "$missed" = 0 ]; then
    judged=$(grep -i 'goal' "$LOG/$name.log" | tail -n 3)
  else
    judged=$(grep 'NOT met' "$LOG/$name.log" | head -n 6)
  fi
  while IFS= read -r line; do
    [ -z "$line" ] || summary+=("    $(echo "$line" | sed 's/^[[:space:]]*//' | cut -c1-96)")
  done <<<"$judged"
  echo
done

echo "=== summary ($(date +%T), load $(cut -d' ' -f1-3 /proc/loadavg))"
for s in ${summary[@]+"${summary[@]}"}; do echo "$s"; done
[ "$KEEP_LOG" = 0 ] || echo "full output in $LOG"
exit $status_all

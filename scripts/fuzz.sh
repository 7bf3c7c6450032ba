#!/usr/bin/env bash
# Runs the libFuzzer targets of tests/fuzz (built by `make build-fuzz`), each
# for a bounded time, and prints one line per target: seconds run, inputs
# executed, edges covered, features, corpus size and the outcome.
#
#   scripts/fuzz.sh [-b BUILD] [-t SECONDS] [-j JOBS] [--ci] [TARGET...]
#   scripts/fuzz.sh --seeds PLAIN_BUILD
#
# -b   the fuzz build directory (build-fuzz)
# -t   seconds per target (300)
# -j   targets run at once (1); each runs under nice
# --ci start every target from its seeds alone in a scratch corpus that is
#      thrown away (CI's short run); otherwise the corpus a target grows is
#      kept in BUILD/fuzz-corpus/TARGET and the next run goes on from it
# TARGET names (config, rsp, ...) restrict the run; default: every target.
#
# Each target reads its seeds (tests/fuzz/corpus/TARGET) and the inputs of
# earlier findings (tests/fuzz/regressions/TARGET). An input that makes a
# target fail is kept in BUILD/fuzz-findings/TARGET/ with the target's log;
# the script then exits 1. Such an input belongs in tests/fuzz/regressions
# once its fault is mended: the ordinary builds replay it in the `fuzz` test
# label from then on.
#
# --seeds regenerates tests/fuzz/corpus with fuzz_seeds from an ordinary
# build (PLAIN_BUILD/bin/fuzz_seeds).
set -euo pipefail
# The whole script is read before it runs (braces below), so that editing it
# during a long run does not change the run.
{

src=$(cd "$(dirname "$0")/.." && pwd)
build=build-fuzz
secs=300
jobs=1
ci=0
targets=()

while [ $# -gt 0 ]; do
  case "$1" in
    -b) build=$2; shift 2 ;;
    -t) secs=$2; shift 2 ;;
    -j) jobs=$2; shift 2 ;;
    --ci) ci=1; shift ;;
    --seeds)
      out="$src/tests/fuzz/corpus"
      rm -rf "$out"
      "$2/bin/fuzz_seeds" "$src" "$out"
      echo "fuzz: seeds written to $out"
      exit 0 ;;
    -h|--help) sed -n '2,26p' "$0"; exit 0 ;;
    -*) echo "fuzz: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done

bin="$build/bin"
# Symbolized reports: Debian installs the symbolizer under a versioned name.
if ! command -v llvm-symbolizer >/dev/null && [ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]; then
  export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$bin"/fuzz_*; do
    [ -x "$f" ] && targets+=("${f##*/fuzz_}")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no fuzz targets in $bin (make build-fuzz)" >&2
  exit 2
fi

logs="$build/fuzz-logs"
findings="$build/fuzz-findings"
mkdir -p "$logs" "$findings"
scratch=""
if [ $ci -eq 1 ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
fi

run_one() {
  local t=$1 work
  if [ $ci -eq 1 ]; then work="$scratch/$t"; else work="$build/fuzz-corpus/$t"; fi
  mkdir -p "$work" "$findings/$t"
  local dirs=("$work" "$src/tests/fuzz/corpus/$t")
  [ -d "$src/tests/fuzz/regressions/$t" ] && dirs+=("$src/tests/fuzz/regressions/$t")
  # Leaks are checked per input; a hung input fails after 30 s.
  nice -n 10 "$bin/fuzz_$t" -max_total_time="$secs" -timeout=30 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$findings/$t/" "${dirs[@]}" > "$logs/$t.log" 2>&1
}

summary() {
  local t=$1 rc=$2 log="$logs/$t.log"
  local done runs cov ft corp outcome
  done=$(grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -n 1 || true)
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}' || true)
  cov=$(echo "$done" | grep -o 'cov: [0-9]*' | awk '{print $2}' || true)
  ft=$(echo "$done" | grep -o 'ft: [0-9]*' | awk '{print $2}' || true)
  corp=$(echo "$done" | grep -o 'corp: [0-9]*' | awk '{print $2}' || true)
  if [ "$rc" -eq 0 ]; then
    outcome=ok
  else
    outcome="FAULT (exit $rc): $(grep -m1 -E 'ERROR:|SUMMARY:|abort|fuzz:' "$log" | cut -c1-80); see $log"
  fi
  printf '%-14s %6s %10s %8s %8s %7s  %s\n' "$t" "$secs" "${runs:--}" "${cov:--}" "${ft:--}" "${corp:--}" "$outcome"
}

printf '%-14s %6s %10s %8s %8s %7s  %s\n' target seconds runs edges features corpus outcome
failed=0
declare -A pids
for t in "${targets[@]}"; do
  if [ ! -x "$bin/fuzz_$t" ]; then
    echo "fuzz: no target $t in $bin" >&2
    failed=1
    continue
  fi
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
    wait -n || true
  done
  run_one "$t" &
  pids[$t]=$!
done
for t in "${targets[@]}"; do
  [ -n "${pids[$t]:-}" ] || continue
  rc=0
  wait "${pids[$t]}" || rc=$?
  summary "$t" "$rc"
  [ "$rc" -eq 0 ] || failed=1
done
exit $failed
}

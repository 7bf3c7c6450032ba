#!/usr/bin/env bash
# The built-in demonstration: a short chain through the host runtime, counters printed at the end.
set -euo pipefail
BUILD=${1:-build}
exec "$BUILD/bin/quilo-router" -e 'src :: InfiniteSource(LENGTH 64, LIMIT 1000000, STOP true) -> c :: Counter -> Discard;' -h c.count -h c.byte_count

#!/usr/bin/env bash
# Builds Quarzelle in Release and runs the benchmarks; arguments go to Google Benchmark, e.g.
#   scripts/bench.sh --benchmark_filter='Preview|Load'
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DQZ_DESKTOP=OFF -DQZ_TESTS=OFF
exec "$root/build-bench/bench/quarzelle-bench" "$@"

#!/usr/bin/env bash
# Builds Quarzelle in Release and runs the benchmarks. --volumes A.dat B.dat ... names the volumes
# the render benchmarks use (default: the project's 256^3 phantom); the other arguments go to
# Google Benchmark, e.g.
#   scripts/bench.sh --benchmark_filter='Preview|Load'
#   scripts/bench.sh --volumes ../scans/macaque_t1.dat ../scans/stress256.dat --benchmark_filter=HiRes
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
volumes=()
args=()
while [ $# -gt 0 ]; do
    if [ "$1" = "--volumes" ]; then
        shift
        while [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; do
            [ -f "$1" ] || { echo "bench.sh: no volume file '$1'" >&2; exit 2; }
            volumes+=("$(cd "$(dirname "$1")" && pwd)/$(basename "$1")")
            shift
        done
    else
        args+=("$1")
        shift
    fi
done
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DQZ_DESKTOP=OFF -DQZ_TESTS=OFF
QZ_BENCH_VOLUMES="${volumes[*]:-}" exec "$root/build-bench/bench/quarzelle-bench" "${args[@]+"${args[@]}"}"

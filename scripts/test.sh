#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
jobs="$(nproc)"

echo "== Release build and tests"
"$root/scripts/build.sh" "$root/build-test" -DCMAKE_BUILD_TYPE=Release -DQZ_BENCH=ON
export QT_QPA_PLATFORM=offscreen
(cd "$root/build-test" && ctest --output-on-failure -j"$jobs" --timeout 600)

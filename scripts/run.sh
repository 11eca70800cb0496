#!/usr/bin/env bash
# Installs what is missing, builds Quarzelle, writes the sample phantom and starts the application
# on it. Extra arguments are passed to the application instead of the phantom's path.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=Release -DQZ_TESTS=OFF -DQZ_BENCH=OFF
phantom="$root/build/phantom-128.dat"
[ -f "$phantom" ] || "$root/build/tools/quarzelle-phantom" 128 128 128 "$phantom"
if [ $# -eq 0 ]; then set -- "$phantom"; fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found: starting on a virtual X display (scripts/xvfb.sh)" >&2
    exec "$root/scripts/xvfb.sh" "$root/build/quarzelle" "$@"
fi
exec "$root/build/quarzelle" "$@"

#!/usr/bin/env bash
# Runs a command on a fresh virtual X display (no window manager) with 24-bit colour: on an 8-bit
# screen Qt has no paint engine and every window stays black. The server picks a free display
# itself (-displayfd), so runs side by side never race for one.
set -uo pipefail
displayfile="$(mktemp)"
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -f "$displayfile"' EXIT
for _ in $(seq 200); do
    [ -s "$displayfile" ] && break
    kill -0 "$server" 2>/dev/null || { echo "xvfb.sh: Xvfb did not start" >&2; exit 1; }
    sleep 0.05
done
[ -s "$displayfile" ] || { echo "xvfb.sh: Xvfb gave no display" >&2; exit 1; }
DISPLAY=":$(head -n 1 "$displayfile")" "$@"

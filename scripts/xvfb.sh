#!/usr/bin/env bash
# Runs a command on a fresh virtual X display (no window manager) with 24-bit colour: on
# xvfb-run's default 8-bit screen Qt has no paint engine and every window stays black.
exec xvfb-run -a -s "-screen 0 1600x1000x24" "$@"

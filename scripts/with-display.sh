#!/usr/bin/env bash
# Runs a command with an X display: the current one, or an Xvfb started for it (never on :0,
# which JUCE falls back to when DISPLAY is unset).
set -euo pipefail
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    exec "$@"
fi
exec xvfb-run -a -n 99 -s "-screen 0 1280x1024x24" "$@"

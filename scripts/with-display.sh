#!/usr/bin/env bash
# Runs a command with an X display: the current one, or an Xvfb started for it (never on :0,
# which JUCE falls back to when DISPLAY is unset). -noreset: by default the server resets
# whenever its last client leaves and refuses connections meanwhile, which a test that connects
# at that moment would take for a missing display.
set -euo pipefail
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    exec "$@"
fi
exec xvfb-run -a -n 99 -s "-screen 0 1280x1024x24 -noreset" "$@"

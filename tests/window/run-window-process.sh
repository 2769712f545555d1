#!/usr/bin/env bash
# Runs the simulator build of the updater as a user would: the window opens, the emulated
# amplifier is connected by the first poll, "Check to update" is clicked and the update runs
# to its end; screenshots of the three moments are kept for a person to look at. Ends by
# asking the window to close as a window manager would, and expects exit status 0.
#
# Usage: run-window-process.sh <program> <close-request helper> <screenshot dir> <work dir>
# Needs DISPLAY (exit 77, skipped, without one), xdotool, xwininfo, import and
# convert-im6.q16. With no window manager the window's content starts at its origin, so
# window coordinates are content coordinates.
set -uo pipefail

program="$1"
closer="$2"
shots="$3"
work="$4"

if [ -z "${DISPLAY:-}" ]; then
    echo "no X display: skipped"
    exit 77
fi

mkdir -p "$shots" "$work"
log="$work/window-process.log"
title="Tarvo Firmware Updater"
app_pid=""
holder_pid=""

fail()
{
    echo "FAILED: $*"
    echo "--- program output (X errors left out) ---"
    grep -av "BadAtom" "$log" 2>/dev/null | tail -n 40
    exit 1
}

cleanup()
{
    [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null && kill -9 "$app_pid" 2>/dev/null
    [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null
    wait 2>/dev/null
}
trap cleanup EXIT

# The hex colour of one pixel of a PNG, e.g. E4AF09.
pixel()
{
    convert-im6.q16 "$1" -format "%[hex:p{$2,$3}]" info: 2>/dev/null | cut -c1-6
}

# Another copy on the same display would lie at the same place: ours goes on top first.
shoot()
{
    xdotool windowraise "$window" 2>/dev/null
    timeout 10 import -window "$window" "$1" || fail "screenshot $1"
}

# Shoots into $2 every half second until pixel ($3, $4) is (or, with "not", is not) $5.
shoot_until()
{
    local deadline=$((SECONDS + $1)) file="$2" x="$3" y="$4" mode="$5" colour="$6"

    while [ $SECONDS -lt $deadline ]; do
        shoot "$file"
        local seen
        seen="$(pixel "$file" "$x" "$y")"

        if { [ "$mode" = is ] && [ "$seen" = "$colour" ]; } \
            || { [ "$mode" = not ] && [ -n "$seen" ] && [ "$seen" != "$colour" ]; }; then
            return 0
        fi

        sleep 0.5
    done

    return 1
}

# JUCE only looks the close protocol's atoms up; they must exist before it starts.
"$closer" --hold-atoms > "$work/atoms.txt" &
holder_pid=$!

for _ in $(seq 50); do
    grep -q ready "$work/atoms.txt" 2>/dev/null && break
    sleep 0.1
done

grep -q ready "$work/atoms.txt" || fail "could not prepare the close protocol's atoms"

"$program" > "$log" 2>&1 &
app_pid=$!

window_size()
{
    xwininfo -id "$1" 2>/dev/null | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }'
}

# The window is mapped first and sized to its content a moment later.
window=""
size=""

for _ in $(seq 100); do
    window="$(xdotool search --pid "$app_pid" --name "^${title}\$" 2>/dev/null | head -n 1)"

    if [ -n "$window" ] && xwininfo -id "$window" 2>/dev/null | grep -q "IsViewable"; then
        size="$(window_size "$window")"
        [ "$size" = "375x667" ] && break
    fi

    kill -0 "$app_pid" 2>/dev/null || fail "the program ended before its window appeared"
    sleep 0.1
done

[ -n "$window" ] || fail "no window titled '$title'"
[ "$size" = "375x667" ] || fail "window size $size, expected 375x667"

# Before the first poll (2 s) the connect button shows its yellow pill, once the window
# has been painted for the first time.
yellow="E4AF09"
shoot_until 3 "$shots/window-initial.png" 75 298 is "$yellow" \
    || fail "connect button at (75, 298) is $(pixel "$shots/window-initial.png" 75 298), expected $yellow"

# The first poll finds the amplifier and connects it: the connect view gives way.
shoot_until 20 "$shots/window-connected.png" 75 298 not "$yellow" \
    || fail "the amplifier was not connected by the poll"
sleep 0.5
shoot "$shots/window-connected.png"

# "Check to update": (266, 370, 90, 28) in the window.
xdotool windowraise "$window" mousemove --window "$window" 311 384 click 1 \
    || fail "click on Check to update"
sleep 1
shoot "$shots/window-updating.png"

# Two reconnects of 5 s and the transfer; the toast reports the end.
toast="404040"
shoot_until 60 "$shots/window-updated.png" 52 528 is "$toast" \
    || fail "no toast after the update"
sleep 0.5
shoot "$shots/window-updated.png"
[ "$(pixel "$shots/window-updated.png" 52 528)" = "$toast" ] || fail "the toast went too soon"

"$closer" "$window" || fail "could not send the close request"

for _ in $(seq 100); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
done

if kill -0 "$app_pid" 2>/dev/null; then
    fail "the program did not end after the close request"
fi

wait "$app_pid"
status=$?
app_pid=""
[ "$status" -eq 0 ] || fail "exit status $status"

grep -aq "JUCE Assertion failure" "$log" && fail "an assertion failed in the program"

echo "screenshots in $shots"
exit 0

#!/bin/bash
# Waits (up to 30 s) until the updater running as process PID shows its MIDI port dialog in the
# X server of $DISPLAY: the sign that it has started. A "No MIDI service" box shown before it is
# closed with Return, as a person would.
# Usage: port-dialog-shown.sh PID
set -u
pid=$1
for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || { echo "port-dialog-shown: the updater has ended" >&2; exit 1; }
    ids=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null)
    for id in $ids; do
        [ "$(xdotool getwindowname "$id" 2>/dev/null)" = Dialog ] && exit 0
    done
    # The box has the main window's title, not its size (675 x 332).
    for id in $ids; do
        [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "Corvane Uploader" ] || continue
        xdotool getwindowgeometry "$id" 2>/dev/null | grep -q "Geometry: 675x332" && continue
        xdotool windowfocus --sync "$id" key Return 2>/dev/null
    done
    sleep 0.1
done
echo "port-dialog-shown: no port dialog after 30 s" >&2
exit 1

#!/bin/bash
# Drives the built updater as a person would, in a real X server with xdotool: picks the device's
# port and "Ok", types the update file's path, answers Yes, closes "End", clicks "Exit". Then the
# device's record must equal the file and the updater must have ended with status 0.
# Usage (inside a MIDI service and an X server): drive-updater.sh UPDATER DEVICE_SIM MAKE_UPDATE
# Optional: CORVANE_UPDATE, an update file to send instead of one made here (version 2.5.0,
# 150,000 bytes); CORVANE_RECORD, where the device records what it receives; CORVANE_SCREENSHOT,
# where to save the main window after the update; CORVANE_KEYBOARD=1, the keyboard alone, no mouse.
set -u
updater=$1 sim=$2 make_update=$3
export QT_QPA_PLATFORM=xcb
work=$(mktemp -d /tmp/corvane-gui-XXXXXX)
shot=${CORVANE_SCREENSHOT:-}
update=${CORVANE_UPDATE:-$work/update.cvn}
record=${CORVANE_RECORD:-$work/received.bin}
pids=()
app=""
cleanup() { kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; }
trap cleanup EXIT
fail() {
    echo "drive-updater: $*" >&2
    for id in $(xdotool search --onlyvisible --pid "$app" 2>/dev/null); do
        echo "drive-updater: window $id \"$(xdotool getwindowname "$id")\"" >&2
    done
    echo "drive-updater: received $(stat -c %s "$record" 2>/dev/null) bytes" >&2
    echo "--- updater log" >&2
    cat "$work/updater.log" >&2
    exit 1
}

window() { # window NAME: waits (up to 40 s) for a visible window with exactly that title; prints its id
    for _ in $(seq 400); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}

if [ -z "${CORVANE_UPDATE:-}" ]; then
    "$make_update" --version 2.5.0 --total-size 150000 --message-size 1024 "$update" ||
        fail "cannot make the update file"
fi
"$sim" --version 1.0.0 --record "$record" >"$work/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$work/sim.out" && break; sleep 0.1; done
grep -q ready "$work/sim.out" || fail "the simulated device did not start"

"$updater" >"$work/updater.log" 2>&1 &
app=$!
pids+=($app)

dialog=$(window "Dialog") || fail "no port dialog"
if [ "${CORVANE_KEYBOARD:-}" = 1 ]; then # the list has the keyboard: its first (only) port, Ok
    xdotool windowfocus --sync "$dialog" sleep 0.3 key space sleep 0.3 key Return
else
    xdotool mousemove --window "$dialog" 60 49 click 1   # the first (only) port in the list
    sleep 0.3
    xdotool mousemove --window "$dialog" 177 211 click 1 # Ok
fi

files=$(window "Select file") || fail "no file dialog"
xdotool windowfocus --sync "$files"
sleep 0.3
xdotool type --delay 5 "$update"
xdotool key Return

question=$(window "Updater message") || fail "no replacement question"
xdotool windowfocus --sync "$question"
sleep 0.2
xdotool key alt+y
for _ in $(seq 100); do
    xdotool search --onlyvisible --name "^Updater message\$" >/dev/null 2>&1 || break
    sleep 0.1
done

main=$(window "Corvane Uploader") || fail "no main window"
# The "End" box has no title of its own: it is the updater's other visible window.
end=""
for _ in $(seq 600); do
    for id in $(xdotool search --onlyvisible --pid "$app" 2>/dev/null); do
        [ "$id" != "$main" ] && end=$id
    done
    [ -n "$end" ] && break
    sleep 0.1
done
[ -n "$end" ] || fail "no \"End\" box"
xdotool windowfocus --sync "$end"
sleep 0.2
xdotool key Return
sleep 0.3
# The main window after the update, for the documentation.
[ -n "$shot" ] && import -window "$main" "$shot"
if [ "${CORVANE_KEYBOARD:-}" = 1 ]; then # Exit, the window's one button, has the keyboard
    xdotool windowfocus --sync "$main" sleep 0.2 key space
else
    xdotool mousemove --window "$main" 617 271 click 1 # Exit
fi

for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && fail "the updater did not end after Exit"
wait "$app"
status=$?
[ "$status" -eq 0 ] || fail "exit status $status"
cmp "$update" "$record" || fail "the device did not receive the file exactly"
# It left the JACK server in order: a client that vanishes without closing makes the server fail
# to notify it when the next client comes, and stalls a synchronous server's other clients for
# seconds meanwhile.
jack_lsp >/dev/null 2>&1
sleep 0.5
if [ -n "${CORVANE_JACK_LOG:-}" ] && grep -a "fails name = Corvane Uploader" "$CORVANE_JACK_LOG"; then
    fail "the updater ended without closing its MIDI clients"
fi
echo "drive-updater: $(stat -c %s "$update") bytes received exactly; exit status 0"
rm -rf "$work"

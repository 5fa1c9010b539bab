#!/bin/bash
# Takes the screenshots of docs/USER-GUIDE.md from the real updater: a private JACK server, an X
# server (Xvfb), the simulated device and xdotool playing the user. One whole update step by step,
# then the troubleshooting cases. Each picture shows the windows of its step on a plain desktop
# colour, with a margin of 16 pixels. Xvfb has no window manager, so windows have no
# frames or title bars; the main window is moved to the middle of the screen, where the dialogs
# open, as a desktop would show them.
# With --alsa, the pictures of the ALSA sequencer instead, taken in the ALSA test VM
# (tests/alsa-vm/run-in-vm.sh): the port dialog with the ports of a virtual raw MIDI card
# (snd-virmidi), the device on the third one, and the box that refuses a file whose messages are
# longer than such a port carries, and a send that the library refuses. The updater refuses any
# file the sequencer could not encode before it sends anything, so the refusal is made where
# ALSA would report one: a small preloaded library fails the sequencer's output of the data
# messages (the picture's file has them all of 333 bytes), and RtMidi reports that as it would a
# real one.
# Usage: tools/screenshots/take-guide-screenshots.sh [--alsa] [BUILD_DIR [OUT_DIR]]
#        (defaults: build, docs/images; the updater and the two developer tools must be built)
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

fail() { echo "take-guide-screenshots: $*" >&2; exit 1; }

if [ "${1:-}" = "--alsa" ]; then
    build=$(realpath "${2:-$repo/build}")
    out=$(realpath "${3:-$repo/docs/images}")
    [ -x "$build/corvane-uploader" ] || fail "$build/corvane-uploader is not built"
    # The repository is read-only in the VM: the pictures come out through the build folder.
    shots=$(mktemp -d "$build/alsa-shots-XXXXXX") || fail "cannot create a folder in $build"
    cat >"$shots/refuse-send.c" <<'C'
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <errno.h>

int snd_seq_event_output(snd_seq_t *seq, snd_seq_event_t *ev)
{
    static int (*real)(snd_seq_t *, snd_seq_event_t *);
    if (ev->type == SND_SEQ_EVENT_SYSEX && ev->data.ext.len == 333)
        return -ENOSPC;
    if (!real)
        real = (int (*)(snd_seq_t *, snd_seq_event_t *))dlsym(RTLD_NEXT, "snd_seq_event_output");
    return real(seq, ev);
}
C
    cc -shared -fPIC -O2 -o "$shots/refuse-send.so" "$shots/refuse-send.c" -ldl ||
        fail "cannot build the library that refuses a send"
    mkdir -p "$out"
    "$repo/tests/alsa-vm/run-in-vm.sh" --share "$build" -- \
        "$repo/tests/with-xvfb.sh" "$0" --inside-alsa "$build" "$shots" ||
        fail "the ALSA pictures could not be taken"
    cp "$shots"/*.png "$out"/ && rm -rf "$shots"
    exit 0
fi

if [ "${1:-}" != "--inside" ] && [ "${1:-}" != "--inside-alsa" ]; then
    build=$(realpath "${1:-$repo/build}")
    out=$(realpath "${2:-$repo/docs/images}")
    for t in corvane-uploader tools/corvane-device-sim tools/corvane-make-update; do
        [ -x "$build/$t" ] || fail "$build/$t is not built"
    done
    mkdir -p "$out"
    exec "$repo/tests/with-jack.sh" "$repo/tests/with-xvfb.sh" "$0" --inside "$build" "$out"
fi

mode=$1 build=$2 out=$3
# Under emulation in the VM, windows take several times as long to come.
patience=1
[ "$mode" = --inside-alsa ] && patience=6
updater=$build/corvane-uploader sim=$build/tools/corvane-device-sim make_update=$build/tools/corvane-make-update
export QT_QPA_PLATFORM=xcb JACK_NO_START_SERVER=1
# A short folder of this run's own: the file dialog shows its path.
work=$(mktemp -d /tmp/corvane-guide-XXXXXX) || fail "cannot create a folder in /tmp"
export HOME=$work/home XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$work/Downloads"
chmod 700 "$XDG_RUNTIME_DIR"
app="" device=""
cleanup() { kill $app $device 2>/dev/null; wait 2>/dev/null; }
trap cleanup EXIT

desktop='#5b6b7d' # the colour around the windows in the pictures

window() { # window NAME: waits for a visible window of the updater with that title, prints its id
    for _ in $(seq $((150 * patience))); do
        for id in $(xdotool search --onlyvisible --pid "$app" 2>/dev/null); do
            [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "$1" ] && { echo "$id"; return 0; }
        done
        sleep 0.1
    done
    return 1
}

main_window() { # the updater's main window (675 x 332), moved to the middle of the screen
    for _ in $(seq $((150 * patience))); do
        for id in $(xdotool search --onlyvisible --pid "$app" 2>/dev/null); do
            if xdotool getwindowgeometry "$id" 2>/dev/null | grep -q "Geometry: 675x332"; then
                xdotool windowmove --sync "$id" 174 218 >/dev/null 2>&1 || xdotool windowmove "$id" 174 218
                echo "$id"
                return 0
            fi
        done
        sleep 0.1
    done
    return 1
}

other_window() { # other_window MAIN: waits for a visible window of the updater that is not MAIN
    for _ in $(seq $((600 * patience))); do
        for id in $(xdotool search --onlyvisible --pid "$app" 2>/dev/null); do
            [ "$id" != "$1" ] && { echo "$id"; return 0; }
        done
        sleep 0.1
    done
    return 1
}

shot() { # shot NAME WINDOW...: the windows as the screen shows them, on a plain desktop colour,
          # cropped to them and 16 pixels around
    sleep 0.5 # let the windows paint
    local x0=100000 y0=100000 x1=0 y1=0 id parts=()
    import -window root "$work/screen.png"
    for id in "${@:2}"; do
        eval "$(xdotool getwindowgeometry --shell "$id")"
        [ "$X" -lt "$x0" ] && x0=$X
        [ "$Y" -lt "$y0" ] && y0=$Y
        [ $((X + WIDTH)) -gt "$x1" ] && x1=$((X + WIDTH))
        [ $((Y + HEIGHT)) -gt "$y1" ] && y1=$((Y + HEIGHT))
        parts+=("$WIDTH" "$HEIGHT" "$X" "$Y")
    done
    x0=$((x0 - 16)) y0=$((y0 - 16)) x1=$((x1 + 16)) y1=$((y1 + 16))
    local args=(-size "$((x1 - x0))x$((y1 - y0))" "xc:$desktop")
    while [ ${#parts[@]} -gt 0 ]; do
        args+=(\( "$work/screen.png" -crop "${parts[0]}x${parts[1]}+${parts[2]}+${parts[3]}" +repage \)
               -geometry "+$((parts[2] - x0))+$((parts[3] - y0))" -composite)
        parts=("${parts[@]:4}")
    done
    convert "${args[@]}" "$out/$1" || fail "cannot write $out/$1"
    echo "take-guide-screenshots: $out/$1"
}

start_device() { # start_device [OPTIONS...]: the simulated device, reporting version 1.0.0
    : >"$work/received.bin"
    : >"$work/device.log"
    "$sim" --version 1.0.0 --record "$work/received.bin" "$@" >"$work/device.log" 2>&1 &
    device=$!
    for _ in $(seq $((100 * patience))); do grep -q ready "$work/device.log" && return 0; sleep 0.1; done
    cat "$work/device.log" >&2
    fail "the simulated device did not start"
}

refused_file() { # refused_file NAME PICTURE WHAT: opens the file, takes the picture of the box
                 # that refuses it, closes the box, checks that nothing was sent, then Exit
    open_file "$1"
    local box
    box=$(other_window "$main") || fail "no box refusing $3"
    shot "$2" "$main" "$box"
    xdotool windowfocus --sync "$box"
    xdotool key Return
    sleep 0.5
    [ -s "$work/received.bin" ] && fail "$3 reached the device"
    xdotool mousemove --window "$main" 617 271 click 1
    wait_end
    stop_device
}

stop_device() { kill "$device" 2>/dev/null; wait "$device" 2>/dev/null; device=""; }

start_updater() { # start_updater [NAME=VALUE...]: in the Downloads folder, where the file dialog opens
    (cd "$work/Downloads" && exec env "$@" "$updater") >>"$work/updater.log" 2>&1 &
    app=$!
}

choose_port() { # choose_port DIALOG: the first (only) entry, then Ok
    xdotool mousemove --window "$1" 60 49 click 1
    sleep 0.3
    xdotool mousemove --window "$1" 177 211 click 1
}

open_file() { # open_file NAME: typed into the file dialog's name field
    local files
    files=$(window "Select file") || fail "no file dialog"
    xdotool windowfocus --sync "$files"
    sleep 0.3
    xdotool type --delay 5 "$1"
    sleep 0.3
    xdotool key Return
}

update_with_yes() { # the updater on the device's port and the update file, Yes to the question; sets main
    start_updater
    main=$(main_window) || fail "no main window"
    local dialog question
    dialog=$(window "Dialog") || fail "no port dialog"
    choose_port "$dialog"
    open_file "$update"
    question=$(window "Updater message") || fail "no replacement question"
    xdotool windowfocus --sync "$question"
    xdotool key alt+y
}

wait_end() { # waits for the updater to end
    for _ in $(seq $((100 * patience))); do kill -0 "$app" 2>/dev/null || { wait "$app"; app=""; return 0; }; sleep 0.1; done
    fail "the updater did not end"
}

if [ "$mode" = --inside-alsa ]; then
    export QT_QPA_PLATFORM=xcb
    long=corvane-firmware-2.0.0.cvn
    "$make_update" --version 2.0.0 --total-size 65536 --message-size 6000 --allow-long-messages \
        "$work/Downloads/$long" >/dev/null || fail "cannot make the update file"
    start_device --rawmidi hw:0,2
    start_updater
    main=$(main_window) || fail "no main window"
    dialog=$(window "Dialog") || fail "no port dialog"
    # Midi Through, then the virtual card's ports 0-0 to 0-3: the device is on 0-2.
    xdotool mousemove --window "$dialog" 60 49 click 1
    sleep 0.3
    xdotool windowfocus --sync "$dialog"
    xdotool key Down Down Down
    shot guide-1-port-dialog.png "$main" "$dialog"
    xdotool mousemove --window "$dialog" 177 211 click 1
    refused_file "$long" guide-too-long.png "a file the port cannot carry"
    # Data messages of 333 bytes, which the preloaded library makes the sequencer refuse.
    refused=corvane-firmware-2.0.0-refused.cvn
    "$make_update" --version 2.0.0 --count 8 --message-size 333 "$work/Downloads/$refused" \
        >/dev/null || fail "cannot make the update file"
    start_device --rawmidi hw:0,2
    start_updater LD_PRELOAD="$out/refuse-send.so"
    main=$(main_window) || fail "no main window"
    dialog=$(window "Dialog") || fail "no port dialog"
    xdotool mousemove --window "$dialog" 60 49 click 1
    sleep 0.3
    xdotool windowfocus --sync "$dialog"
    xdotool key Down Down Down
    xdotool mousemove --window "$dialog" 177 211 click 1
    open_file "$refused"
    question=$(window "Updater message") || fail "no replacement question"
    xdotool windowfocus --sync "$question"
    xdotool key alt+y
    sleep 3
    shot guide-send-failed.png "$main"
    xdotool mousemove --window "$main" 617 271 click 1
    wait_end
    stop_device
    rm -rf "$work"
    exit 0
fi

update=corvane-firmware-2.0.0.cvn
"$make_update" --version 2.0.0 --total-size 262144 --message-size 1024 "$work/Downloads/$update" \
    >/dev/null || fail "cannot make the update file"
size=$(stat -c %s "$work/Downloads/$update")

# --- One whole update. The device answers each message 15 ms late, so progress can be caught.
start_device --delay 15
start_updater
main=$(main_window) || fail "no main window"
dialog=$(window "Dialog") || fail "no port dialog"
xdotool mousemove --window "$dialog" 60 49 click 1
shot guide-port-dialog-jack.png "$main" "$dialog"
xdotool mousemove --window "$dialog" 177 211 click 1

files=$(window "Select file") || fail "no file dialog"
xdotool windowfocus --sync "$files"
sleep 0.3
xdotool type --delay 5 "$update"
shot guide-2-file-dialog.png "$main" "$files"
xdotool key Return

question=$(window "Updater message") || fail "no replacement question"
shot guide-3-replace-question.png "$main" "$question"
xdotool windowfocus --sync "$question"
xdotool key alt+y

for _ in $(seq 300); do
    [ "$(stat -c %s "$work/received.bin")" -ge $((size * 45 / 100)) ] && break
    sleep 0.05
done
shot guide-4-progress.png "$main"

end=$(other_window "$main") || fail "no \"End\" box"
shot guide-5-end.png "$main" "$end"
xdotool windowfocus --sync "$end"
xdotool key Return
sleep 0.3
shot guide-6-finished.png "$main"
xdotool mousemove --window "$main" 617 271 click 1
wait_end
cmp -s "$work/Downloads/$update" "$work/received.bin" || fail "the device did not receive the whole file"
stop_device

# --- No ports listed: no device connected
start_updater
main=$(main_window) || fail "no main window"
dialog=$(window "Dialog") || fail "no port dialog"
shot guide-no-ports.png "$main" "$dialog"
xdotool mousemove --window "$dialog" 67 211 click 1 # Cancel
wait_end

# --- The device stops answering after 40 messages: the progress stays; Exit ends the program
start_device --silent-after 40
update_with_yes
sleep 6 # past the 3 s of silence after which the status line speaks
shot guide-waiting.png "$main"
xdotool mousemove --window "$main" 617 271 click 1
wait_end
stop_device

# --- The device quits after 40 messages, as when the instrument is unplugged: the port is named
start_device --quit-after 40
update_with_yes
wait "$device"
device=""
sleep 3 # the wait looks for its ports once a second
shot guide-port-gone.png "$main"
xdotool mousemove --window "$main" 617 271 click 1
wait_end

# --- Another program (a sequencer, as a DAW would be) connected to the instrument's input: the
# box that names it after "Ok"
start_device
jack_midiseq "Studio Sequencer" 48000 0 60 12000 >"$work/sequencer.log" 2>&1 &
sequencer=$!
for _ in $(seq 50); do jack_lsp | grep -q "^Studio Sequencer:out" && break; sleep 0.1; done
jack_connect "Studio Sequencer:out" "Corvane Device Rx:Corvane Device In" ||
    fail "cannot connect the sequencer to the device"
start_updater
main=$(main_window) || fail "no main window"
dialog=$(window "Dialog") || fail "no port dialog"
choose_port "$dialog"
box=""
for _ in $(seq $((100 * patience))); do
    for id in $(xdotool search --onlyvisible --pid "$app" 2>/dev/null); do
        [ "$id" != "$main" ] && [ "$id" != "$dialog" ] && box=$id
    done
    [ -n "$box" ] && break
    sleep 0.1
done
[ -n "$box" ] || fail "no box about the other program"
shot guide-other-senders.png "$main" "$dialog" "$box"
xdotool windowfocus --sync "$box"
xdotool key Escape # "Choose again"
sleep 0.5
xdotool mousemove --window "$dialog" 67 211 click 1 # Cancel
wait_end
kill "$sequencer" 2>/dev/null
wait "$sequencer" 2>/dev/null
stop_device

# --- "Illegal file.": an incomplete update file
# An interrupted download: the last byte is missing.
head -c -1 "$work/Downloads/$update" >"$work/Downloads/corvane-firmware-2.0.0-incomplete.cvn"
start_device
start_updater
main=$(main_window) || fail "no main window"
dialog=$(window "Dialog") || fail "no port dialog"
choose_port "$dialog"
refused_file corvane-firmware-2.0.0-incomplete.cvn guide-illegal-file.png "an incomplete file"

# --- No MIDI service at all: no ALSA sequencer here, and no JACK server under this name
start_updater JACK_DEFAULT_SERVER=corvane-nobody
main=$(main_window) || fail "no main window"
box=$(other_window "$main") || fail "no \"No MIDI service\" box"
shot guide-no-midi-service.png "$main" "$box"
xdotool windowfocus --sync "$box"
xdotool key Return
dialog=$(window "Dialog") || fail "no port dialog after the message"
xdotool mousemove --window "$dialog" 67 211 click 1 # Cancel
wait_end

rm -rf "$work"

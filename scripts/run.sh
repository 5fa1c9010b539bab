#!/bin/bash
# Installs what the demo needs and is missing, builds, and runs the updater against the simulated
# device, so a whole update can be seen without hardware. Without a display it runs the same update
# under Xvfb, driven by xdotool, and saves a screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh demo
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target corvane-uploader corvane-upload corvane-device-sim corvane-make-update

demo=$(mktemp -d /tmp/corvane-demo-XXXXXX)
echo "The demo's files: $demo"
pids=()
cleanup() { [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT

# A MIDI service: the ALSA sequencer where there is one, else a running JACK server, else a
# JACK server of our own with the dummy driver (no sound card needed).
if [ -e /dev/snd/seq ]; then
    echo "MIDI service: ALSA sequencer"
elif jack_lsp >/dev/null 2>&1; then
    echo "MIDI service: the running JACK server"
else
    export JACK_DEFAULT_SERVER=corvane-demo-$$ JACK_NO_START_SERVER=1
    jackd -n "$JACK_DEFAULT_SERVER" -R -d dummy -r 48000 -p 256 >"$demo/jackd.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do jack_lsp >/dev/null 2>&1 && break; sleep 0.1; done
    if ! jack_lsp >/dev/null 2>&1; then # no realtime privilege: try without it
        jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >"$demo/jackd.log" 2>&1 &
        pids+=($!)
        for _ in $(seq 50); do jack_lsp >/dev/null 2>&1 && break; sleep 0.1; done
    fi
    jack_lsp >/dev/null 2>&1 || { cat "$demo/jackd.log"; echo "cannot start a JACK server"; exit 1; }
    echo "MIDI service: a JACK server of our own (dummy driver), log in $demo/jackd.log"
fi

build/tools/corvane-make-update --version 2.0.0 --total-size 524288 --message-size 1024 \
    "$demo/sample-update.cvn" >/dev/null

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: running the update of $demo/sample-update.cvn under Xvfb, driven by xdotool."
    CORVANE_UPDATE="$demo/sample-update.cvn" CORVANE_RECORD="$demo/received.bin" \
        CORVANE_SCREENSHOT="$demo/main-window.png" tests/with-xvfb.sh \
        tests/gui/drive-updater.sh build/corvane-uploader build/tools/corvane-device-sim \
        build/tools/corvane-make-update
    echo "The device's record of what it received: $demo/received.bin"
    echo "Screenshot of the main window after the update: $demo/main-window.png"
    exit 0
fi

build/tools/corvane-device-sim --version 1.0.0 --record "$demo/received.bin" >"$demo/device.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$demo/device.log" && break; sleep 0.1; done

cat <<TXT

The simulated device is running (it reports firmware version 1.0.0).
In the updater:
  1. pick the port whose name ends in "Corvane Device Out" and press Ok;
  2. choose the file $demo/sample-update.cvn;
  3. answer Yes to "Replace ?", watch the progress, close "End", press Exit.
Afterwards $demo/received.bin holds what the device received.

TXT
build/corvane-uploader
if cmp -s "$demo/sample-update.cvn" "$demo/received.bin"; then
    echo "The device received the whole file, byte for byte."
fi

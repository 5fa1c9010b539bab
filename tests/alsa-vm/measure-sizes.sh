#!/bin/bash
# Finds, by bisection, the longest SysEx message that reaches the simulated device whole over one
# MIDI path: a minimal RtMidi client (corvane-bench-baseline) sends a header and one data message
# of N bytes (F0 and F7 included) and waits for the replies; the size passes when the device's
# record equals the file. Prints one line per path. Run it where the path exists: "rawmidi" and
# "seq" in the ALSA test VM (run-in-vm.sh), "jack" under tests/with-jack.sh.
# Usage: measure-sizes.sh BUILD_DIR rawmidi|seq|jack [MAX_BYTES]
set -u
build=$1 path=$2 max=${3:-1048576}
sim=$build/tools/corvane-device-sim
make=$build/tools/corvane-make-update
client=$build/bench/corvane-bench-baseline
work=$(mktemp -d /tmp/corvane-sizes-XXXXXX)
trap 'rm -rf "$work"' EXIT
case "$path" in
rawmidi) simargs=(--rawmidi hw:0,2) api=alsa out="Virtual Raw MIDI 0-2" in="Virtual Raw MIDI 0-2" ;;
seq) simargs=(--api alsa) api=alsa out="Corvane Device Out" in="Corvane Device In" ;;
jack) simargs=(--api jack) api=jack out="Corvane Device Out" in="Corvane Device In" ;;
*) echo "measure-sizes: unknown path $path" >&2; exit 2 ;;
esac

# 0 when a message of $1 bytes arrives whole.
passes() {
    local n=$1
    "$make" --version 1.0 --count 1 --message-size "$n" --allow-long-messages "$work/u.cvn" >/dev/null || return 2
    rm -f "$work/rec"
    "$sim" "${simargs[@]}" --record "$work/rec" >"$work/sim.log" 2>&1 &
    local pid=$!
    for _ in $(seq 200); do grep -q '^ready' "$work/sim.log" && break; sleep 0.05; done
    "$client" "$work/u.cvn" --api "$api" --device-out "$out" --device-in "$in" >"$work/client.log" 2>&1
    kill "$pid"; wait "$pid"
    local ok=no
    cmp -s "$work/u.cvn" "$work/rec" && ok=yes
    echo "  $path: $n bytes: $ok"
    [ $ok = yes ]
}

lo=6 hi=$max
passes "$lo" || { echo "$path: even $lo-byte messages do not arrive"; exit 1; }
if passes "$hi"; then
    echo "$path: messages of $hi bytes arrive whole (the largest tried)"
    exit 0
fi
while [ $((hi - lo)) -gt 1 ]; do
    mid=$(((lo + hi) / 2))
    if passes "$mid"; then lo=$mid; else hi=$mid; fi
done
echo "$path: $lo-byte messages arrive whole, $hi-byte ones do not"

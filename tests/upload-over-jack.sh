#!/bin/bash
# Whole updates by the terminal program against the simulated device, over whichever JACK the
# environment gives (jackd, or PipeWire's under with-pipewire.sh): exit status 0, the device
# stopped cleanly, and its record equal to the file byte for byte, each time.
# Usage: upload-over-jack.sh UPLOAD DEVICE_SIM MAKE_UPDATE [TIMES [BYTES]]
#        upload-over-jack.sh UPLOAD DEVICE_SIM MAKE_UPDATE --kill-service
# Many short updates (a header and two messages) try the first message, sent as soon as the port
# is open, more often than one long update does. --kill-service kills the MIDI service (jackd, or
# PipeWire's daemon) mid-update instead: the program must end by itself within seconds, with
# status 7 and its outcome.
set -u
upload=$1 sim=$2 make_update=$3 times=${4:-1} bytes=${5:-65536}
if [ "$times" = --kill-service ]; then
    work=$(mktemp -d /tmp/corvane-upload-XXXXXX)
    trap 'kill %1 2>/dev/null; wait; rm -rf "$work"' EXIT
    service=${CORVANE_JACK_PID:-${CORVANE_PIPEWIRE_PID:-}}
    [ -n "$service" ] || { echo "upload-over-jack: no MIDI service to kill" >&2; exit 1; }
    "$make_update" --version 2.5.0 --total-size 65536 --message-size 1024 "$work/update.cvn" >/dev/null
    "$sim" --api jack --version 1.0.0 --delay 100 >"$work/sim.out" 2>&1 &
    for _ in $(seq 100); do grep -q ready "$work/sim.out" && break; sleep 0.1; done
    "$upload" --api jack --port "Corvane Device Out" --yes --json "$work/update.cvn" </dev/null \
        >"$work/upload.out" 2>&1 &
    program=$!
    for _ in $(seq 100); do grep -q '"percent":10' "$work/upload.out" && break; sleep 0.1; done
    kill -9 "$service"
    killed=$(date +%s%N)
    wait "$program"
    status=$?
    took=$((($(date +%s%N) - killed) / 1000000))
    echo "upload-over-jack: ended with status $status ${took} ms after the service was killed"
    grep -q '"event":"outcome".*"result":"service-gone".*"status":7' "$work/upload.out" &&
        [ "$status" -eq 7 ] && [ "$took" -lt 5000 ] && exit 0
    cat "$work/upload.out" >&2
    exit 1
fi
work=$(mktemp -d /tmp/corvane-upload-XXXXXX)
device=""
cleanup() { [ -n "$device" ] && kill "$device" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() {
    local received
    received=$(stat -c %s "$work/received.bin" 2>/dev/null || echo no)
    echo "upload-over-jack: $*; the device received $received bytes" >&2
    echo "--- corvane-upload" >&2
    cat "$work/upload.out" >&2 2>/dev/null
    echo "--- device" >&2
    cat "$work/sim.out" >&2
    exit 1
}

"$make_update" --version 2.5.0 --total-size "$bytes" \
    --message-size $((bytes < 2048 ? bytes / 2 : 1024)) "$work/update.cvn" >/dev/null ||
    fail "cannot make the update file"
for run in $(seq "$times"); do
    rm -f "$work/received.bin"
    "$sim" --api jack --version 1.0.0 --record "$work/received.bin" >"$work/sim.out" 2>&1 &
    device=$!
    for _ in $(seq 100); do grep -q ready "$work/sim.out" && break; sleep 0.1; done
    grep -q ready "$work/sim.out" || fail "the simulated device did not start"

    "$upload" --api jack --port "Corvane Device Out" --yes --timeout 20 "$work/update.cvn" \
        </dev/null >"$work/upload.out" 2>&1
    status=$?
    [ "$status" -eq 0 ] || fail "update $run: corvane-upload ended with status $status"
    # The record is read once the device has stopped, and it must stop cleanly.
    kill -INT "$device"
    wait "$device"
    status=$?
    device=""
    [ "$status" -eq 0 ] || fail "the simulated device ended with status $status"
    cmp "$work/update.cvn" "$work/received.bin" ||
        fail "update $run: the device did not receive the file exactly"
done
echo "upload-over-jack: $times update(s) of $(stat -c %s "$work/update.cvn") bytes received exactly"

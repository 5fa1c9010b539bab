#!/bin/bash
# The updater as a screen reader reads it (tests/gui/atspi-update.py), in an X server and a JACK
# server of the test's own (with-xvfb.sh, with-jack.sh): a D-Bus session, the accessibility bus
# with its address on the root window (Qt joins it reliably only so), then a whole update and a
# device that falls silent, each driven by keys only. With --wm, under a window manager (twm).
# Usage: atspi-update.sh UPDATER DEVICE_SIM MAKE_UPDATE [--wm]
set -u
updater=$1 sim=$2 make_update=$3 wm=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/corvane-atspi-XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    [ -n "${DBUS_SESSION_BUS_PID:-}" ] && kill "$DBUS_SESSION_BUS_PID" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "atspi-update: $*" >&2; exit 1; }

export HOME=$work XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
eval "$(dbus-launch --sh-syntax)" || fail "no D-Bus session"
/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
pids+=($!)
address=""
for _ in $(seq 100); do
    address=$(dbus-send --session --dest=org.a11y.Bus --print-reply=literal /org/a11y/bus \
        org.a11y.Bus.GetAddress 2>/dev/null | tr -d ' ')
    [ -n "$address" ] && break
    sleep 0.1
done
[ -n "$address" ] || fail "the accessibility bus did not start"
xprop -root -f AT_SPI_BUS 8s -set AT_SPI_BUS "$address" || fail "cannot name the bus on the root window"
if [ "$wm" = --wm ]; then
    twm >/dev/null 2>&1 &
    pids+=($!)
    sleep 1
fi

"$make_update" --version 2.0.0 --total-size 65536 --message-size 1024 "$work/update.cvn" \
    >/dev/null || fail "cannot make the update file"
status=0
for mode in whole silent; do
    options=()
    [ "$mode" = silent ] && options=(--silent-after 3)
    : >"$work/device.out"
    "$sim" --api jack --version 1.0.0 --delay 20 --record "$work/$mode.bin" "${options[@]}" \
        >"$work/device.out" 2>&1 &
    device=$!
    for _ in $(seq 100); do grep -q ready "$work/device.out" && break; sleep 0.1; done
    /usr/bin/python3 "$here/atspi-update.py" "$updater" "$work/update.cvn" "$mode" || status=1
    kill -INT "$device"
    wait "$device"
    if [ "$mode" = whole ] && ! cmp -s "$work/update.cvn" "$work/whole.bin"; then
        echo "atspi-update: the device did not receive the file whole" >&2
        status=1
    fi
done
exit "$status"

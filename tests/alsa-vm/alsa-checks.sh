#!/bin/bash
# The ALSA checks, run one after another inside the ALSA test VM (the alsa_vm test):
# - tst_alsa: whole updates through the real widgets to a device on a virtual raw MIDI port, and to
#   a USB MIDI instrument (usb-instrument.sh) plugged in while the port dialog is open or pulled
#   out mid-update;
# - the simulated device as an ALSA sequencer client, found by the updater's name pairing, that
#   quits mid-transfer (tst_faults deviceVanishesMidTransfer, which meets it over ALSA here);
# - tst_noservice with /dev/snd hidden: the suites that need no MIDI service get none;
# - tst_upload's ALSA cases: corvane-upload on all four virtual ports at once, and a file whose
#   messages no raw MIDI port carries; over the sequencer, an instrument unplugged mid-update and a
#   port that another updater holds, a port whose lock cannot be taken, a send the sequencer
#   refuses; USB MIDI instruments: a whole update, one pulled out
#   mid-update, one plugged in while --wait-for-port waits, two at once.
# Usage: alsa-checks.sh TST_ALSA TST_FAULTS TST_NOSERVICE NO_ALSA_SH TST_UPLOAD
set -u
[ $# -eq 5 ] || { echo "usage: alsa-checks.sh TST_ALSA TST_FAULTS TST_NOSERVICE NO_ALSA_SH TST_UPLOAD" >&2; exit 2; }
[ -e /dev/snd/seq ] && [ -e /dev/snd/midiC0D3 ] ||
    { echo "alsa-checks: FAILED: no ALSA sequencer or virtual raw MIDI ports here" >&2; exit 1; }
# As CTest runs the suites: no display, and libjack never starts a server of its own.
export QT_QPA_PLATFORM=offscreen JACK_NO_START_SERVER=1
failed=()
check() {
    local name=$1
    shift
    echo "==== $name"
    local t=$SECONDS
    "$@" || failed+=("$name")
    echo "==== $name: $((SECONDS - t)) s"
}
# Two USB MIDI instruments on the emulated USB bus, unplugged until a case plugs one in: the
# window's and the terminal program's USB cases use them.
usb=$(dirname "$(realpath "$0")")/usb-instrument.sh
if "$usb" setup 2; then
    export CORVANE_USB_INSTRUMENT=$usb
else
    failed+=("USB instruments")
fi
check tst_alsa "$1"
check "tst_faults deviceVanishesMidTransfer over ALSA" "$2" deviceVanishesMidTransfer
# Its check of the executable needs an X server, which the VM has not; CTest runs that one.
check "tst_noservice with /dev/snd hidden" env JACK_DEFAULT_SERVER=corvane-nobody "$4" "$3" \
    managerRunsWithoutPorts userIsToldAndCancelEndsTheRun
check "tst_upload over ALSA" env CORVANE_ALSA_VM=1 "$5" alsaFourPortsAtOnce alsaLongMessagesRefused \
    "sendOverAlsa:instrument unplugged" "sendOverAlsa:port held by another updater" \
    "sendOverAlsa:lock unavailable" "sendOverAlsa:library refuses a send" usbInstrument \
    stationOverUsb
if [ ${#failed[@]} -gt 0 ]; then
    printf 'alsa-checks: FAILED: %s\n' "${failed[@]}" >&2
    exit 1
fi
echo "alsa-checks: all four checks passed"

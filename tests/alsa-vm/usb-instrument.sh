#!/bin/bash
# USB MIDI instruments inside the ALSA test VM, from modules of Debian's kernel: dummy_hcd emulates
# a USB host and device controller pair, a configfs gadget with the usb_f_midi function is the
# instrument, and snd-usb-audio drives it on the computer's side, as it drives a real one (its
# port is "Corvane Keyboard N:Corvane Keyboard N MIDI 1 …"). The simulated device serves the
# gadget's raw MIDI port (the card "corvaneN").
# Usage: usb-instrument.sh setup COUNT          modules, configfs and COUNT gadgets, all unplugged
#        usb-instrument.sh plug N RECORD [OPTIONS...]
#                                               plugs instrument N in: the simulated device opens
#                                               the gadget's port at once, as firmware listens from
#                                               power-on, and records into RECORD
#        usb-instrument.sh unplug N             pulls the cable: the port goes, and the instrument
#                                               loses its power (the simulated device stops)
# Needs root and a kernel with these modules: only inside the VM.
set -u
here=$(dirname "$(realpath "$0")")
sim=$(realpath -m "$here/../../build/tools/corvane-device-sim")
[ -n "${CORVANE_DEVICE_SIM:-}" ] && sim=$CORVANE_DEVICE_SIM
gadgets=/sys/kernel/config/usb_gadget
state=/run/corvane-usb
fail() { echo "usb-instrument: $*" >&2; exit 1; }

case "${1:-}" in
setup)
    count=${2:?usage: usb-instrument.sh setup COUNT}
    # snd-seq-midi gives each USB card its sequencer port; nothing loads it by itself here.
    modprobe dummy_hcd num="$count" && modprobe -a libcomposite usb_f_midi snd-usb-audio snd-seq-midi ||
        fail "the USB gadget modules could not be loaded"
    mountpoint -q /sys/kernel/config || mount -t configfs none /sys/kernel/config ||
        fail "configfs could not be mounted"
    mkdir -p "$state"
    for ((n = 0; n < count; n++)); do
        g=$gadgets/corvane$n
        mkdir -p "$g/strings/0x409" "$g/configs/c.1" "$g/functions/midi.usb0" || fail "no gadget $n"
        echo 0x1d6b >"$g/idVendor"   # Linux Foundation: a test gadget, no real vendor's
        echo 0x0104 >"$g/idProduct"  # its multifunction composite gadget
        echo Corvane >"$g/strings/0x409/manufacturer"
        echo "Corvane Keyboard $n" >"$g/strings/0x409/product"
        # The first has a serial number, as most instruments have; the second none.
        [ "$n" -eq 0 ] && echo "CV000$n" >"$g/strings/0x409/serialnumber"
        echo "corvane$n" >"$g/functions/midi.usb0/id"
        ln -s "$g/functions/midi.usb0" "$g/configs/c.1/"
    done
    ;;
plug)
    n=${2:?usage: usb-instrument.sh plug N RECORD}
    record=${3:?usage: usb-instrument.sh plug N RECORD}
    shift 3
    [ -x "$sim" ] || fail "no simulated device at $sim"
    echo "dummy_udc.$n" >"$gadgets/corvane$n/UDC" || fail "instrument $n could not be plugged in"
    # The gadget's card comes with the bind; the device opens it before the computer's side has
    # enumerated the instrument, so nothing the computer sends is lost.
    for _ in $(seq 500); do [ -e "/proc/asound/corvane$n" ] && break; sleep 0.01; done
    [ -e "/proc/asound/corvane$n" ] || fail "instrument $n has no raw MIDI port"
    setsid "$sim" --rawmidi "hw:CARD=corvane$n" --record "$record" "$@" \
        >"$state/sim-$n.log" 2>&1 </dev/null &
    echo $! >"$state/sim-$n.pid"
    for _ in $(seq 500); do grep -q '^ready' "$state/sim-$n.log" 2>/dev/null && break; sleep 0.01; done
    grep -q '^ready' "$state/sim-$n.log" || { cat "$state/sim-$n.log" >&2; fail "the device did not start"; }
    # The computer's side: the port is there once snd-usb-audio has enumerated the instrument.
    for _ in $(seq 500); do grep -q "Corvane Keyboard $n" /proc/asound/seq/clients && exit 0; sleep 0.01; done
    fail "instrument $n did not appear to the computer"
    ;;
unplug)
    n=${2:?usage: usb-instrument.sh unplug N}
    if [ -n "$(cat "$gadgets/corvane$n/UDC")" ]; then
        echo "" >"$gadgets/corvane$n/UDC" || fail "instrument $n could not be unplugged"
    fi
    if [ -s "$state/sim-$n.pid" ]; then
        pid=$(cat "$state/sim-$n.pid")
        kill "$pid" 2>/dev/null
        for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
        kill -9 "$pid" 2>/dev/null
        rm -f "$state/sim-$n.pid"
    fi
    ;;
*)
    sed -n '8,15s/^# \{0,1\}//p' "$0" >&2
    exit 2
    ;;
esac

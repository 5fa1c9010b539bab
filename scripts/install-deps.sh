#!/bin/bash
# Installs the Debian 12 packages that one purpose needs, skipping those present.
# Usage: install-deps.sh [demo|tests] [extra packages...]
#   demo    what scripts/run.sh needs to build the updater and its tools and run an update against
#           the simulated device: the compiler, CMake, one Qt and RtMidi; a JACK server only where
#           there is no ALSA sequencer; Xvfb, xdotool and ImageMagick (the screenshot) only where
#           there is no display.
#   tests   the default: the demo's packages with a JACK server and Xvfb whatever the machine has,
#           and everything the tests, the ALSA VM, the package check, the benchmarks and fuzzing
#           need (scripts/test.sh, .ci/run).
# CORVANE_QT_MAJOR: the Qt versions to build with, "5", "6" or "5 6" (default: 5 for the demo; both
# for the tests, as scripts/test.sh builds both).
set -euo pipefail
purpose=tests
case ${1:-} in
demo | tests) purpose=$1; shift ;;
esac

# librtmidi-dev brings the ALSA and JACK development files that the build's pkg-config checks find.
packages=(g++ cmake make pkg-config librtmidi-dev fonts-dejavu-core)
if [ "$purpose" = demo ]; then
    qt_versions=${CORVANE_QT_MAJOR:-5}
    # run.sh takes the ALSA sequencer wherever there is one, and shows the updater on the display.
    [ -e /dev/snd/seq ] || packages+=(jackd2)
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        packages+=(xvfb xdotool imagemagick)
    fi
else
    qt_versions=${CORVANE_QT_MAJOR:-5 6}
    packages+=(libjack-jackd2-dev jackd2 xvfb xauth xdotool imagemagick x11-utils
               clang libclang-rt-14-dev libbenchmark-dev
               # the package check: cpack's Depends, the menu entry, the AppStream metadata and
               # the manual page of corvane-upload (groff; readelf comes with the compiler)
               dpkg-dev file desktop-file-utils appstream groff-base
               # the simulated device on raw MIDI, and the VM of the ALSA checks (tests/alsa-vm),
               # where aconnect routes another program's port to an instrument
               libasound2-dev qemu-system-x86 linux-image-amd64 busybox-static cpio alsa-utils
               # PipeWire's JACK library, which most desktops now give JACK programs instead of
               # jackd's (tests/with-pipewire.sh): the daemon, pw-cli and pw-jack. No session
               # manager (wireplumber): the programs link their ports themselves. It stays out of
               # the library path: only pw-jack puts it in front of jackd's.
               pipewire pipewire-jack
               # the JSON lines of corvane-upload checked against their schema (tst_upload)
               python3-jsonschema
               # the window as a screen reader reads it (tests/gui/atspi-update.sh): the
               # accessibility bus, a D-Bus session, its Python client, a window manager
               at-spi2-core dbus-x11 python3-pyatspi gir1.2-atspi-2.0 twm)
fi
packages+=("$@")
for qt in $qt_versions; do
    case $qt in
    5) packages+=(qtbase5-dev) ;;
    # qt6-base-dev brings what Qt 6's CMake files look for (libgl-dev, libglx-dev, libopengl-dev,
    # libvulkan-dev); moc, uic and rcc are in qt6-base-dev-tools. On Debian 12 the xcb and
    # offscreen platform plugins come with libqt6gui6, qt6-qpa-plugins holds the others.
    6)
        packages+=(qt6-base-dev qt6-base-dev-tools)
        [ "$purpose" = demo ] || packages+=(qt6-qpa-plugins)
        ;;
    *) echo "install-deps.sh: CORVANE_QT_MAJOR must list 5 and/or 6, not \"$qt\"" >&2; exit 2 ;;
    esac
done
# The system's lock folder, where the updaters lock the ports they send to: every Debian system
# has one, a bare root (a chroot, some containers) may not.
if [ ! -d /run/lock ]; then
    if [ "$(id -u)" -eq 0 ]; then mkdir -p -m 1777 /run/lock; else sudo mkdir -p -m 1777 /run/lock; fi
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing for the $purpose: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
# jackd2 asks about realtime priority; the answer is not needed for a private test server.
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

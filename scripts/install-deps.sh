#!/bin/bash
# Installs the Debian 12 packages the build, the tests and the demo need, skipping those present.
# Usage: install-deps.sh [extra packages...]
#        CORVANE_QT_MAJOR: the Qt versions to build with, "5", "6" or "5 6" (default: both, as
#        scripts/test.sh builds both)
set -euo pipefail
packages=(g++ cmake make pkg-config librtmidi-dev libjack-jackd2-dev jackd2 xvfb xauth xdotool
          imagemagick clang libclang-rt-14-dev libbenchmark-dev dpkg-dev file desktop-file-utils x11-utils
          fonts-dejavu-core
          # the simulated device on raw MIDI, and the VM of the ALSA checks (tests/alsa-vm)
          libasound2-dev qemu-system-x86 linux-image-amd64 busybox-static cpio
          "$@")
for qt in ${CORVANE_QT_MAJOR:-5 6}; do
    case $qt in
    5) packages+=(qtbase5-dev) ;;
    # qt6-base-dev brings what Qt 6's CMake files look for (libgl-dev, libglx-dev, libopengl-dev,
    # libvulkan-dev); moc, uic and rcc are in qt6-base-dev-tools. On Debian 12 the xcb and
    # offscreen platform plugins come with libqt6gui6, qt6-qpa-plugins holds the others.
    6) packages+=(qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins) ;;
    *) echo "install-deps.sh: CORVANE_QT_MAJOR must list 5 and/or 6, not \"$qt\"" >&2; exit 2 ;;
    esac
done
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
# jackd2 asks about realtime priority; the answer is not needed for a private test server.
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

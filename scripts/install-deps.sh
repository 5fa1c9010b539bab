#!/bin/bash
# Installs the Debian 12 packages the build, the tests and the demo need, skipping those present.
# Usage: install-deps.sh [extra packages...]
set -euo pipefail
packages=(g++ cmake make pkg-config qtbase5-dev librtmidi-dev libjack-jackd2-dev jackd2 xvfb xauth xdotool
          imagemagick clang libclang-rt-14-dev libbenchmark-dev dpkg-dev file desktop-file-utils x11-utils
          fonts-dejavu-core
          # the simulated device on raw MIDI, and the VM of the ALSA checks (tests/alsa-vm)
          libasound2-dev qemu-system-x86 linux-image-amd64 busybox-static cpio
          "$@")
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

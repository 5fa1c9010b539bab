#!/bin/bash
# Runs a command where no ALSA sequencer can be reached: on a machine with /dev/snd, in a private
# mount namespace with an empty tmpfs over /dev/snd. For the suites that need "no MIDI service" and
# for those that must meet the simulated device over JACK, as the updater takes the ALSA sequencer
# whenever there is one. Where /dev/snd is missing, the command runs as it is.
# Usage: no-alsa.sh COMMAND [ARGS...]
set -u
if [ "${CORVANE_NO_ALSA_STEP:-}" = inside ]; then
    unset CORVANE_NO_ALSA_STEP
    mount -t tmpfs -o size=64k,mode=755 corvane-no-alsa /dev/snd ||
        { echo "no-alsa: FAILED: cannot hide /dev/snd" >&2; exit 1; }
    exec "$@"
fi
[ -e /dev/snd ] || exec "$@"
# As root a mount namespace is enough; others need a user namespace to mount in.
flags=(--mount --propagation private)
[ "$(id -u)" -eq 0 ] || flags+=(--map-root-user)
CORVANE_NO_ALSA_STEP=inside exec unshare "${flags[@]}" -- "$0" "$@"

#!/bin/bash
# Runs a command against a PipeWire daemon of its own, through PipeWire's JACK library (pw-jack),
# and stops the daemon after; exits with the command's status. Needs no sound card, no D-Bus and
# no display: a dummy driver node runs the graph on a timer, and JACK clients make their links
# themselves, so no session manager is started.
# Usage: with-pipewire.sh COMMAND [ARGS...]   (CORVANE_PIPEWIRE_QUANTUM, default 2048)
# The quantum is long because PipeWire 0.3.65 has nothing like jackd's synchronous mode: the dummy
# driver starts each cycle on its timer, and a client that has not finished the one before ("client
# too slow", "missed wakeups" in the log) loses the MIDI in it (the freewheel driver keeps a core
# busy instead). A realtime thread on these machines was seen to wake up to 9 ms late, and clients
# were late for a cycle, and MIDI lost, with 256 frames (5.3 ms) and, once in about 230 updates,
# with 1024 (21 ms).
set -u
[ $# -gt 0 ] || { echo "usage: with-pipewire.sh COMMAND [ARGS...]" >&2; exit 2; }
fail() { echo "with-pipewire: FAILED: $*" >&2; exit 1; }
for tool in pipewire pw-cli pw-jack setpriv; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done
quantum=${CORVANE_PIPEWIRE_QUANTUM:-2048}
dir=$(mktemp -d /tmp/corvane-pipewire-XXXXXX) || fail "cannot create a folder in /tmp"
log=$(mktemp /tmp/corvane-pipewire-XXXXXX.log) || fail "cannot create a log in /tmp"
pid=""
stop() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        pid=""
    fi
    rm -rf "$dir"
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Its own runtime folder (the socket, and the updaters' port locks), so that it never meets the
# user's PipeWire, nor that of another run; nothing may point the clients elsewhere.
mkdir -m 700 "$dir/runtime"
export XDG_RUNTIME_DIR="$dir/runtime"
unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR PIPEWIRE_QUANTUM PIPEWIRE_LATENCY PIPEWIRE_PROPS
# A program that loads jackd2's libjack instead of PipeWire's must fail, never find a jackd.
export JACK_DEFAULT_SERVER="corvane-pipewire-only-$$" JACK_NO_START_SERVER=1

# The fewest modules that serve JACK clients: the socket; the access check, without which a client
# waits for a session manager to grant it anything; their nodes, their links, and the metadata that
# PipeWire's libjack binds. Realtime where allowed, as under with-jack.sh; the quantum fixed.
cat >"$dir/pipewire.conf" <<EOF
context.properties = {
    core.daemon = true
    core.name = pipewire-0
    # Info: the level at which a client late for a cycle is logged.
    log.level = 3
    default.clock.rate = 48000
    default.clock.quantum = $quantum
    default.clock.min-quantum = $quantum
    default.clock.max-quantum = $quantum
}
context.spa-libs = { support.* = support/libspa-support }
context.modules = [
    { name = libpipewire-module-rt flags = [ nofail ] }
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-access }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-link-factory }
]
context.objects = [
    { factory = spa-node-factory
      args = { factory.name = support.node.driver node.name = Dummy-Driver
               priority.driver = 20000 } }
]
EOF

# --pdeathsig: the daemon goes with this script even when a timeout kills it with SIGKILL.
setpriv --pdeathsig KILL pipewire -c "$dir/pipewire.conf" </dev/null >"$log" 2>&1 &
pid=$!
# It answers once a client of its own can read its core; a daemon that takes the connection but
# never answers must not hang the run.
answers() { timeout 5 pw-cli info 0 >/dev/null 2>&1; }
for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    answers && break
    sleep 0.1
done
if ! kill -0 "$pid" 2>/dev/null || ! answers; then
    cat "$log" >&2
    fail "the PipeWire daemon did not start"
fi

# Tests that stop the service mid-update kill it by this number.
export CORVANE_PIPEWIRE_PID="$pid"
pw-jack "$@"
rc=$?
stop
# Cycles that a client did not finish in time, whose MIDI can be lost.
xruns=$(grep -ciE "xrun|too slow|not finished|missed [0-9]+ wakeups" "$log")
if [ "$rc" -ne 0 ]; then
    echo "with-pipewire: command failed ($rc); PipeWire log $log has $xruns XRun line(s):" >&2
    tail -20 "$log" >&2
else
    [ "$xruns" -gt 0 ] && echo "with-pipewire: note: $xruns XRun line(s) in the PipeWire log" >&2
    rm -f "$log"
fi
exit "$rc"

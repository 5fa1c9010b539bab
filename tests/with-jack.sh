#!/bin/bash
# Runs a command against a private JACK server (dummy driver) and stops the server after.
# Usage: with-jack.sh COMMAND [ARGS...]   (CORVANE_JACK_PERIOD sets the period, default 256)
# The server is synchronous: every cycle waits for every client, so a client that is late (a busy
# machine, a sanitizer) delays the cycle instead of losing the MIDI in it, which no transfer could
# make up for. CORVANE_JACK_SYNC=0 runs an ordinary realtime server instead (benchmarks).
set -u

# A /dev/shm of its own for each run: a tmpfs there in a private mount namespace. JACK keeps its
# registry of servers (8 at most), its shared memory, semaphores and metadata there, all shared by
# every JACK server of a user: runs of two checkouts met there and failed to open JACK clients.
# Inside, they meet nothing, and all of it goes when the run ends. Where no namespace can be made,
# the machine's /dev/shm is used, with the care below.
if [ "${CORVANE_WITH_JACK_STEP:-}" = inside ]; then
    unset CORVANE_WITH_JACK_STEP
    mount -t tmpfs -o mode=1777 corvane-jack-shm /dev/shm ||
        { echo "with-jack: cannot mount a private /dev/shm" >&2; exit 1; }
else
    # As root a mount namespace is enough; others need a user namespace to mount in.
    flags=(--mount --propagation private)
    [ "$(id -u)" -eq 0 ] || flags+=(--map-root-user)
    if unshare "${flags[@]}" true 2>/dev/null; then
        CORVANE_WITH_JACK_STEP=inside exec unshare "${flags[@]}" -- "$0" "$@"
    fi
    echo "with-jack: no private /dev/shm (cannot make a mount namespace): sharing the machine's" >&2
fi

period=${CORVANE_JACK_PERIOD:-256}
log=$(mktemp /tmp/corvane-jackd-XXXXXX.log)
pid=""

# A name of its own for every run: the checkout (its path's checksum) and this process, so that
# suites of several checkouts, and several runs of one, never meet on one server.
checkout=$(cd "$(dirname "$0")/.." && pwd -P | cksum | cut -d' ' -f1)
name="corvane-$checkout-$$"
export JACK_DEFAULT_SERVER="$name" JACK_NO_START_SERVER=1

start_server() { # start_server LOG [JACKD OPTIONS...]
    local out=$1
    shift
    jackd -n "$name" "$@" -d dummy -r 48000 -p "$period" >"$out" 2>&1 &
    pid=$!
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || return 1
        jack_lsp >/dev/null 2>&1 && break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && jack_lsp >/dev/null 2>&1
}

stop_server() {
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=""
}

# JACK keeps its servers in a registry in /dev/shm with room for 8. A server that is killed, and
# also one that had clients when it stopped, leaves its entry behind, which only a server of the
# same name clears, when it starts. So a name still registered is started once more, without
# clients, and stopped: that server clears the entry when it starts and its own when it stops.
registered() { grep -qaF ":$name:" /dev/shm/jack-shm-registry 2>/dev/null; }
stop_and_free() {
    stop_server
    if registered; then
        start_server /dev/null
        stop_server
        ! registered || echo "with-jack: JACK server $name is left in JACK's registry" >&2
    fi
    # What its clients left there (semaphores of clients killed with it); the name is this run's.
    rm -f /dev/shm/jack_sem.*_"$name"_* /dev/shm/jack_"$name"_*
}
trap stop_and_free EXIT

# -t: how long a cycle waits for one client. A client that leaves while a cycle waits for it (a
# device that quits, ports that close) stalls the server for up to ten times that, and every other
# client's requests with it: with 10 s, cases hung for minutes in a port's closing. Half a second
# keeps such a stall short and is still far more than a live client's cycle takes.
# Realtime: the clients' JACK threads then run before the machine's other work. A client thread
# held up for a second in the middle of a cycle meets a race in RtMidi's JACK output, which frees
# its ring buffer while that cycle may still read it when the output is destroyed (crashes seen
# at load 8 on two cores). Without the privilege, run without it.
sync=()
[ "${CORVANE_JACK_SYNC:-1}" = 1 ] && sync=(-S -t 500)
if ! start_server "$log" -R "${sync[@]}"; then
    stop_server
    echo "with-jack: realtime JACK server did not start, trying without -R" >&2
    start_server "$log" -r "${sync[@]}" || { cat "$log" >&2; echo "with-jack: no JACK server" >&2; exit 1; }
fi
export CORVANE_JACK_PID="$pid" CORVANE_JACK_LOG="$log"

"$@"
rc=$?
stop_and_free
xruns=$(grep -ci xrun "$log")
if [ "$rc" -ne 0 ]; then
    echo "with-jack: command failed ($rc); JACK log $log has $xruns XRun line(s):" >&2
    tail -20 "$log" >&2
else
    [ "$xruns" -gt 0 ] && echo "with-jack: note: $xruns XRun line(s) in the JACK log" >&2
    rm -f "$log"
fi
exit "$rc"

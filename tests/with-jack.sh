#!/bin/bash
# Runs a command against a private JACK server (dummy driver, realtime) and stops the server after.
# Usage: with-jack.sh COMMAND [ARGS...]   (CORVANE_JACK_PERIOD sets the period, default 256;
# CORVANE_JACK_SYNC=1 runs the server synchronous and not realtime: it waits for clients that are
# late, on a busy machine or under a sanitizer, instead of dropping their cycles and the MIDI in
# them)
set -u
period=${CORVANE_JACK_PERIOD:-256}
log=$(mktemp /tmp/corvane-jackd-XXXXXX.log)
pid=""

# JACK keeps at most 8 servers in its registry and frees a slot only when a server of the same
# name starts again: reuse a small set of names, each held by a lock while in use.
exec {slotfd}>/dev/null
for n in 0 1 2 3 4 5 6 7; do
    exec {slotfd}>"/tmp/corvane-jack-slot-$n.lock"
    # A server of that name may run outside our locks (another checkout, a chroot sharing
    # /dev/shm): its clients would meet ours, so such a slot is skipped.
    if flock -n "$slotfd" && ! JACK_DEFAULT_SERVER="corvane-test-$n" JACK_NO_START_SERVER=1 \
        jack_lsp >/dev/null 2>&1; then
        name="corvane-test-$n"
        break
    fi
    exec {slotfd}>&-
    name=""
done
[ -n "$name" ] || { echo "with-jack: all JACK test slots are busy" >&2; exit 1; }
export JACK_DEFAULT_SERVER="$name" JACK_NO_START_SERVER=1

start_server() {
    jackd -n "$name" "$@" -d dummy -r 48000 -p "$period" >"$log" 2>&1 &
    pid=$!
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || return 1
        jack_lsp >/dev/null 2>&1 && break
        sleep 0.1
    done
    # Still ours a moment later: a server that lost a race for the name has exited by then.
    sleep 0.2
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
trap stop_server EXIT

if [ "${CORVANE_JACK_SYNC:-0}" = 1 ]; then
    # A server of the same name may still be going away; a second try waits for it.
    if ! start_server -S -r -t 10000; then
        stop_server
        sleep 2
        start_server -S -r -t 10000 || { cat "$log" >&2; echo "with-jack: no JACK server" >&2; exit 1; }
    fi
# Realtime keeps JACK from skipping cycles on a busy machine; without the privilege, run without it.
elif ! start_server -R; then
    stop_server
    echo "with-jack: realtime JACK server did not start, trying without -R" >&2
    start_server || { cat "$log" >&2; echo "with-jack: no JACK server" >&2; exit 1; }
fi
export CORVANE_JACK_PID="$pid" CORVANE_JACK_LOG="$log"

"$@"
rc=$?
stop_server
xruns=$(grep -ci xrun "$log")
if [ "$rc" -ne 0 ]; then
    echo "with-jack: command failed ($rc); JACK log $log has $xruns XRun line(s):" >&2
    tail -20 "$log" >&2
else
    [ "$xruns" -gt 0 ] && echo "with-jack: note: $xruns XRun line(s) in the JACK log" >&2
    rm -f "$log"
fi
exit "$rc"

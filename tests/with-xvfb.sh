#!/bin/bash
# Runs a command in an X server of its own (Xvfb, one 1024x768 screen of 24 bits) and stops the
# server after; exits with the command's status. Xvfb takes a free display itself and names it
# through -displayfd: xvfb-run -a chose one from the lock files in /tmp, and two runs starting
# together could choose the same.
# Usage: with-xvfb.sh COMMAND [ARGS...]
set -u
[ $# -gt 0 ] || { echo "usage: with-xvfb.sh COMMAND [ARGS...]" >&2; exit 2; }
fail() { echo "with-xvfb: FAILED: $*" >&2; exit 1; }
command -v Xvfb >/dev/null || fail "Xvfb is missing (scripts/install-deps.sh installs it)"
dir=$(mktemp -d /tmp/corvane-xvfb-XXXXXX) || fail "cannot create a folder in /tmp"
pid=""
stop() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$dir"
}
trap stop EXIT
mkfifo "$dir/display" || fail "cannot create a pipe in $dir"
# No -auth: a server with no authorisation set up takes the clients of this machine, and no one
# can reach it from another (-nolisten tcp). -noreset: what is set on the root window (the
# accessibility bus's address) stays when its last client has gone.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$dir/display" 2>"$dir/log" &
pid=$!
# Xvfb writes the display's number once it takes clients; the pipe ends empty if it dies first.
if ! read -r -t 30 display <"$dir/display" || [ -z "$display" ]; then
    cat "$dir/log" >&2
    fail "Xvfb did not start"
fi
export DISPLAY=":$display"
"$@"

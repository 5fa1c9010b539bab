#!/bin/bash
# Station benchmark: 20 units (simulated devices that come one after another under one name) on a
# private JACK server, taken by one `corvane-upload --station`; then 20 taken by one
# `corvane-upload --port ... --wait-for-port` each, started before its unit comes, as a bench
# script would; then 20 by one run each started the moment its port is there (the single run's
# own cost). Prints, for each way, per unit: the time from the port's appearance (the device's
# "ready") to the header's arrival at the device, from the appearance to the unit's end, and the
# CPU time of the updater's processes (the station's own beyond its start, and its units'). Judges
# nothing.
#
# Usage: bench/station-bench.sh [BUILD_DIR] [UNITS]   (default build, 20)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
units=${2:-20}
if [ "${CORVANE_STATION_BENCH_INSIDE:-}" != 1 ]; then
    for t in corvane-upload tools/corvane-device-sim tools/corvane-make-update; do
        [ -x "$build/$t" ] || { echo "station-bench: $build/$t is not built" >&2; exit 1; }
    done
    CORVANE_STATION_BENCH_INSIDE=1 exec "$root/tests/with-jack.sh" "$0" "$build" "$units"
fi

upload=$build/corvane-upload sim=$build/tools/corvane-device-sim
work=$(mktemp -d /tmp/corvane-station-bench-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
"$build/tools/corvane-make-update" --version 2.0.0 --total-size 65536 --message-size 1024 \
    "$work/update.cvn" >/dev/null
size=$(stat -c %s "$work/update.cvn")
now() { date +%s%N; }
ticks=$(getconf CLK_TCK)
cpu_of() { # cpu_of PID: user and system time of it and of its waited children, in ms
    awk -v t="$ticks" '{ print ($14 + $15) * 1000 / t, ($16 + $17) * 1000 / t }' "/proc/$1/stat"
}

# unit RECORD: starts a device, waits for its "ready"; prints the time of it
start_unit() {
    : >"$work/$1.out"
    "$sim" --api jack --version 1.0.0 --record "$work/$1" >"$work/$1.out" 2>&1 &
    device=$!
    until grep -q ready "$work/$1.out"; do sleep 0.001; done
    appeared=$(now)
}
# Waits until the device has the header, then the whole file; sets header and whole (ns).
follow_unit() {
    until [ -s "$work/$1" ]; do sleep 0.001; done
    header=$(now)
    until [ "$(stat -c %s "$work/$1")" -ge "$size" ]; do sleep 0.001; done
    whole=$(now)
}
stop_unit() { kill -INT "$device"; wait "$device" || true; }

report() { # report NAME FILE-OF-"header whole" CPU_MS
    local h w
    h=$(cut -d' ' -f1 "$2" | sort -n | tr '\n' ' ')
    w=$(cut -d' ' -f2 "$2" | sort -n | tr '\n' ' ')
    awk -v name="$1" -v cpu="$3" -v h="$h" -v w="$w" 'BEGIN {
        n = split(h, hs, " "); split(w, ws, " ")
        for (i = 1; i <= n; ++i) { ht += hs[i]; wt += ws[i] }
        m = int((n + 1) / 2)
        printf "%-8s units=%d header_after_port_ms_mean=%.0f median=%.0f max=%.0f unit_ms_mean=%.0f median=%.0f cpu_ms_per_unit=%.0f\n",
            name, n, ht / n, hs[m], hs[n], wt / n, ws[m], cpu / n
    }'
}

# --- The station: one process for all units.
"$upload" --api jack --station "Corvane Device Out" --yes "$work/update.cvn" >"$work/station.out" 2>&1 &
station=$!
sleep 1
# Its own start (the MIDI service, the file) is paid once, not per unit.
read -r started _ < <(cpu_of "$station")
: >"$work/station.times"
for i in $(seq "$units"); do
    start_unit "s$i"
    follow_unit "s$i"
    echo "$(((header - appeared) / 1000000)) $(((whole - appeared) / 1000000))" >>"$work/station.times"
    # The unit's end is the station's line for it.
    until [ "$(grep -c complete "$work/station.out")" -ge "$i" ]; do sleep 0.001; done
    stop_unit
done
read -r own children < <(cpu_of "$station")
station_cpu=$((own - started + children))
kill -INT "$station"
wait "$station" || true

# --- One run per unit, as a bench script without the station would run them: started before the
# instrument comes, waiting for its port.
: >"$work/waiting.times"
waiting_cpu=0
for i in $(seq "$units"); do
    TIMEFORMAT='%3U %3S'
    { time "$upload" --api jack --port "Corvane Device Out" --yes --wait-for-port 60 \
        "$work/update.cvn" >/dev/null 2>&1 </dev/null; } 2>"$work/w$i.time" &
    run=$!
    sleep 0.5
    start_unit "w$i"
    follow_unit "w$i"
    wait "$run"
    echo "$(((header - appeared) / 1000000)) $(((whole - appeared) / 1000000))" >>"$work/waiting.times"
    waiting_cpu=$(awk -v c="$waiting_cpu" '{ print c + ($1 + $2) * 1000 }' "$work/w$i.time")
    stop_unit
done

# --- One run per unit, started the moment the port is there (which a script cannot know as
# soon): the single run's own cost, with nothing of finding the port.
: >"$work/single.times"
single_cpu=0
for i in $(seq "$units"); do
    start_unit "r$i"
    # As a bench script starts it: with the time of the process, its children included.
    TIMEFORMAT='%3U %3S'
    { time "$upload" --api jack --port "Corvane Device Out" --yes "$work/update.cvn" \
        >/dev/null 2>&1 </dev/null; } 2>"$work/r$i.time" &
    run=$!
    follow_unit "r$i"
    wait "$run"
    echo "$(((header - appeared) / 1000000)) $(((whole - appeared) / 1000000))" >>"$work/single.times"
    single_cpu=$(awk -v c="$single_cpu" '{ print c + ($1 + $2) * 1000 }' "$work/r$i.time")
    stop_unit
done

for f in s w r; do
    for i in $(seq "$units"); do
        cmp -s "$work/update.cvn" "$work/$f$i" || echo "station-bench: unit $f$i was not received whole" >&2
    done
done
report station "$work/station.times" "$station_cpu"
report waiting "$work/waiting.times" "$waiting_cpu"
report single "$work/single.times" "$single_cpu"

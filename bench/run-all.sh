#!/bin/bash
# Installs what is missing, builds the benchmarks, runs them all and prints one table.
# Nothing here judges a figure: the table is for people to read (see docs/PERFORMANCE.md).
#
# Usage: bench/run-all.sh [--full] [--budget SECONDS] [--baseline-messages N]
#                         [--startup-runs N] [--period FRAMES] [--cases LIST] [--pairs N]
#   --full                 send every update file whole, with both programs (untimed; the
#                          window's part alone took about 25 minutes)
#   --budget SECONDS       stop each updater transfer after this long: the window's as Exit does,
#                          the terminal program's with SIGINT at its next 10 % (default 120; only
#                          the 16 MB files in 64- and 256-byte messages take longer)
#   --baseline-messages N  round trips of the baseline client around each updater run, half
#                          before and half after it (default 4096; the window's second half is
#                          the terminal program's first)
#   --startup-runs N       start-up runs (default 10)
#   --pairs N              pairs of alternating runs of the baseline and the terminal program on
#                          the 64 KB file in 256-byte messages, for a finer ratio (default 100)
#   --period FRAMES        JACK period at 48 kHz (default 64)
#   --cases LIST           e.g. "65536:256 1048576:1024" (file bytes:message bytes); default all
#                          nine of 64 KB, 1 MB, 16 MB by 64, 256, 1024
#   --no-micro, --no-startup  leave those benchmarks out
#   --table-only           print the table again from the results in CORVANE_BENCH_WORK_DIR
# Environment: CORVANE_BENCH_BUILD_DIR (default build-bench), CORVANE_BENCH_WORK_DIR (default a
# new folder under /tmp, named at the start): the update files, logs and results, table.md too.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVANE_BENCH_BUILD_DIR:-$root/build-bench}
work=${CORVANE_BENCH_WORK_DIR:-}
budget=120
baseline_messages=4096
startup_runs=10
pairs=100
period=64
cases="65536:64 65536:256 65536:1024 1048576:64 1048576:256 1048576:1024 16777216:64 16777216:256 16777216:1024"
inside=0
table_only=0
micro=1
startup=1

while [ $# -gt 0 ]; do
    case "$1" in
        --full) budget=0 ;;
        --budget) budget=$2; shift ;;
        --baseline-messages) baseline_messages=$2; shift ;;
        --startup-runs) startup_runs=$2; shift ;;
        --pairs) pairs=$2; shift ;;
        --period) period=$2; shift ;;
        --cases) cases=$2; shift ;;
        --inside-jack) inside=1 ;;
        --table-only) table_only=1 ;;
        --no-micro) micro=0 ;;
        --no-startup) startup=0 ;;
        -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
        *) echo "run-all.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done

if [ -z "$work" ]; then
    [ "$table_only" = 0 ] || { echo "run-all.sh: --table-only needs CORVANE_BENCH_WORK_DIR" >&2; exit 2; }
    work=$(mktemp -d /tmp/corvane-bench-XXXXXX)
    echo "Files of this run: $work" >&2
fi
# The run inside the JACK server works in the same folder.
export CORVANE_BENCH_WORK_DIR=$work
bin=$build/bench
tools=$build/tools
results=$work/results
logs=$work/logs

human_size() {
    case "$1" in
        65536) echo "64 KB" ;;
        1048576) echo "1 MB" ;;
        16777216) echo "16 MB" ;;
        *) echo "$1 B" ;;
    esac
}

kv() { # kv FILE KEY: the value of KEY in a key=value file, empty when absent
    sed -n "s/^$2=//p" "$1" 2>/dev/null | tail -1
}

# ---- Inside the private JACK server: the device, the transfers, the start-up. ----
run_inside_jack() {
    local sim_log=$logs/device-sim.log
    grep -q "realtime mode" "$CORVANE_JACK_LOG" && echo realtime >"$results/jack-mode" ||
        echo "not realtime" >"$results/jack-mode"
    "$tools/corvane-device-sim" --no-version-reply >"$sim_log" 2>&1 &
    sim=$!
    trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null' EXIT
    for _ in $(seq 100); do
        grep -q '^ready' "$sim_log" && break
        sleep 0.1
    done
    grep -q '^ready' "$sim_log" || { cat "$sim_log" >&2; echo "run-all.sh: the device did not start" >&2; exit 1; }

    local half=$((baseline_messages / 2)) c size msg file base before
    [ "$half" -ge 1 ] || half=1
    for c in $cases; do
        size=${c%%:*}
        msg=${c##*:}
        file=$work/update-$size-$msg.cvn
        base=$results/transfer-$size-$msg
        echo "transfer: $(human_size "$size") in $msg-byte messages (load $(cut -d' ' -f1 /proc/loadavg))" >&2
        cut -d' ' -f1 /proc/loadavg >"$base.load"
        # Each program counts the XRuns (JACK cycles some client missed) during its own measured
        # run: they cost time and can lose a MIDI event. A failed run leaves its figures out of
        # the table; the next case still runs.
        "$bin/corvane-bench-baseline" "$file" --messages "$half" --jack-log "$CORVANE_JACK_LOG" \
            >"$base.baseline1" 2>>"$logs/baseline.log" ||
            echo "  baseline failed, see $logs/baseline.log" >&2
        "$bin/corvane-bench-transfer" "$file" --budget "$budget" --jack-log "$CORVANE_JACK_LOG" \
            >"$base.updater" 2>>"$logs/transfer.log" ||
            echo "  updater failed, see $logs/transfer.log" >&2
        "$bin/corvane-bench-baseline" "$file" --messages "$half" --jack-log "$CORVANE_JACK_LOG" \
            >"$base.baseline2" 2>>"$logs/baseline.log" ||
            echo "  baseline failed, see $logs/baseline.log" >&2
        # The terminal program between the window's second baseline and a third: its ratio is
        # taken against the two runs around it, as the window's is.
        cut -d' ' -f1 /proc/loadavg >"$base.load-terminal"
        "$bin/corvane-bench-terminal" "$file" --budget "$budget" --jack-log "$CORVANE_JACK_LOG" \
            >"$base.terminal" 2>>"$logs/terminal.log" ||
            echo "  terminal program failed, see $logs/terminal.log" >&2
        "$bin/corvane-bench-baseline" "$file" --messages "$half" --jack-log "$CORVANE_JACK_LOG" \
            >"$base.baseline3" 2>>"$logs/baseline.log" ||
            echo "  baseline failed, see $logs/baseline.log" >&2
    done

    # Runs of the same program differ by up to 30 % (in some, no round trip catches the cycle of
    # its message; in others many do, and how many is a matter of the run, not of its length):
    # many short runs, alternating which goes first, average that out of the terminal's ratio.
    if [ "$pairs" -gt 0 ]; then
        echo "terminal program against the baseline: $pairs pairs of runs (load $(cut -d' ' -f1 /proc/loadavg))" >&2
        file=$work/update-pairs.cvn
        : >"$results/pairs.tsv"
        local i b t
        for i in $(seq "$pairs"); do
            b=$results/pair.baseline t=$results/pair.terminal
            rm -f "$b" "$t"
            if [ $((i % 2)) = 1 ]; then
                "$bin/corvane-bench-baseline" "$file" --jack-log "$CORVANE_JACK_LOG" >"$b" 2>>"$logs/baseline.log" || true
                "$bin/corvane-bench-terminal" "$file" --jack-log "$CORVANE_JACK_LOG" >"$t" 2>>"$logs/terminal.log" || true
            else
                "$bin/corvane-bench-terminal" "$file" --jack-log "$CORVANE_JACK_LOG" >"$t" 2>>"$logs/terminal.log" || true
                "$bin/corvane-bench-baseline" "$file" --jack-log "$CORVANE_JACK_LOG" >"$b" 2>>"$logs/baseline.log" || true
            fi
            # pair, load, baseline messages, wall, cpu, stalled; terminal messages, wall, stalled,
            # CPU messages, CPU, CPU wall time
            printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$i" "$(cut -d' ' -f1 /proc/loadavg)" \
                "$(kv "$b" messages)" "$(kv "$b" wall_ns)" "$(kv "$b" cpu_ns)" "$(kv "$b" stalled)" \
                "$(kv "$t" messages)" "$(kv "$t" wall_ns)" "$(kv "$t" stalled)" \
                "$(kv "$t" cpu_messages)" "$(kv "$t" cpu_ns)" "$(kv "$t" cpu_wall_ns)" >>"$results/pairs.tsv"
        done
    fi

    if [ "$startup" = 1 ]; then
        echo "start-up: $startup_runs runs to the port dialog" >&2
        "$bin/corvane-bench-startup" --runs "$startup_runs" >"$results/startup" \
            2>>"$logs/startup.log" || echo "  start-up failed, see $logs/startup.log" >&2
    fi
    cp "$CORVANE_JACK_LOG" "$logs/jackd.log"
}

if [ "$inside" = 1 ]; then
    run_inside_jack
    exit 0
fi

# ---- Outside: install, build, make the files, run, print. ----
if [ "$table_only" = 0 ]; then
    "$root/scripts/install-deps.sh"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BENCH=ON >/dev/null
    cmake --build "$build" -j"$(nproc)" --target corvane-bench >/dev/null

    rm -rf "$results" "$logs"
    mkdir -p "$work" "$results" "$logs"
    for c in $cases; do
        size=${c%%:*}
        msg=${c##*:}
        "$tools/corvane-make-update" --version 2.0.0 --total-size "$size" --message-size "$msg" \
            "$work/update-$size-$msg.cvn" >/dev/null
    done
    if [ "$pairs" -gt 0 ]; then
        "$tools/corvane-make-update" --version 2.0.0 --total-size 65536 --message-size 256 \
            "$work/update-pairs.cvn" >/dev/null
    fi

    # Rough length: two JACK periods per round trip, each updater's run capped by the budget, and
    # three half baselines.
    estimate=$(for c in $cases; do echo "$c"; done | awk -F: -v p="$period" -v b="$budget" -v n="$baseline_messages" '
        { m = int($1 / $2) + 1; rt = 2 * p / 48000; u = m * rt; if (b > 0 && u > b) u = b
          bl = (m < n ? m : n) * rt; s += 2 * u + 1.5 * bl + 2 }
        END { printf "%d", s + 60 }')
    [ "$micro" = 1 ] && estimate=$((estimate + 180))
    estimate=$((estimate + pairs * 2))
    echo "Benchmarks take about $((estimate / 60 + 1)) minutes; load now: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
    cut -d' ' -f1-3 /proc/loadavg >"$results/load-start"

    # Micro benchmarks need no MIDI service: point the library at a JACK server that never exists.
    if [ "$micro" = 1 ]; then
        echo "micro benchmarks" >&2
        JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=corvane-bench-none QT_QPA_PLATFORM=offscreen \
            "$bin/corvane-bench-micro" --rows "$results/micro.tsv" --benchmark_repetitions=3 \
            --benchmark_report_aggregates_only=true --benchmark_color=false \
            >"$logs/micro.log" 2>&1 || echo "  micro benchmarks failed, see $logs/micro.log" >&2
    fi

    # A realtime server, as users run: the figures are the period's, not a waiting server's.
    JACK_NO_START_SERVER=1 CORVANE_JACK_PERIOD=$period CORVANE_JACK_SYNC=0 QT_QPA_PLATFORM=offscreen \
        "$root/tests/with-jack.sh" "$0" --inside-jack --budget "$budget" \
        --baseline-messages "$baseline_messages" --startup-runs "$startup_runs" --cases "$cases" \
        --pairs "$pairs" \
        $([ "$startup" = 1 ] || echo --no-startup) \
        2> >(grep --line-buffered -v -e '^with-jack: note' >&2)
    cut -d' ' -f1-3 /proc/loadavg >"$results/load-end"
    echo "$period $budget $baseline_messages $cases" >"$results/settings"
fi

# ---- The table. ----
read -r period budget baseline_messages cases <"$results/settings"
{
    echo "| Benchmark | Case | Result | Device baseline | Ratio | CPU | Peak memory | Notes |"
    echo "|---|---|---|---|---|---|---|---|"
    for c in $cases; do
        size=${c%%:*}
        msg=${c##*:}
        base=$results/transfer-$size-$msg
        u=$base.updater b1=$base.baseline1 b2=$base.baseline2
        awk -v label="$(human_size "$size") in $msg B messages" \
            -v um="$(kv "$u" messages)" -v ut="$(kv "$u" messages_total)" \
            -v uw="$(kv "$u" wall_ns)" -v uc="$(kv "$u" cpu_ns)" \
            -v hwm="$(kv "$u" hwm_kb)" -v shm="$(kv "$u" rss_shmem_kb)" \
            -v fb="$(kv "$u" file_bytes)" -v stop="$(kv "$u" stopped_by_budget)" \
            -v early="$(kv "$u" early_us)" -v late="$(kv "$u" late_us)" -v stall="$(kv "$u" stalled)" \
            -v m1="$(kv "$b1" messages)" -v w1="$(kv "$b1" wall_ns)" -v c1="$(kv "$b1" cpu_ns)" \
            -v m2="$(kv "$b2" messages)" -v w2="$(kv "$b2" wall_ns)" -v c2="$(kv "$b2" cpu_ns)" \
            -v s1="$(kv "$b1" stalled)" -v s2="$(kv "$b2" stalled)" -v ur="$(kv "$u" readdata_ns)" \
            -v p1a="$(kv "$b1" trip_p10_ns)" -v p1b="$(kv "$b1" trip_p90_ns)" \
            -v p2a="$(kv "$b2" trip_p10_ns)" -v p2b="$(kv "$b2" trip_p90_ns)" \
            -v ux="$(kv "$u" xruns)" -v x1="$(kv "$b1" xruns)" -v x2="$(kv "$b2" xruns)" \
            -v load="$(cat "$base.load" 2>/dev/null)" 'BEGIN {
            if (um == "" || m1 == "" || m2 == "") { printf "| transfer, window | %s | failed: see the logs | | | | | |\n", label; exit }
            u = uw / um / 1e6; bm = m1 + m2; b = (w1 + w2) / bm / 1e6
            flat = (early >= 0 && late >= 0) ? sprintf("; first/last quarter %.2f/%.2f ms/msg", early / 1000, late / 1000) : ""
            part = (um < ut) ? sprintf("%d of %d messages (%s)", um, ut, stall == 1 ? "then stalled: a MIDI event was lost" : "budget") : sprintf("%d messages", um)
            lost = (s1 == 1 || s2 == 1) ? " (one stalled: a MIDI event was lost)" : ""
            spread = sprintf("10-90 %% of trips %.2f-%.2f / %.2f-%.2f ms", p1a / 1e6, p1b / 1e6, p2a / 1e6, p2b / 1e6)
            printf "| transfer, window | %s | %.3f ms/msg | %.3f ms/msg | %.2f | %.3f ms/msg, %.0f %% of a core (baseline %.3f) | %.0f MB (%.0f MB without JACK shm; file %.2f MB) | %s%s; baseline %d round trips%s, %s; XRuns: updater %d in %.1f s, baseline %d in %.1f s; load %s |\n",
                label, u, b, u / b, uc / um / 1e6, 100 * uc / uw, (c1 + c2) / bm / 1e6,
                hwm / 1024, (hwm - shm) / 1024, fb / 1048576, part, flat, bm, lost, spread,
                ux, ur / 1e9, x1 + x2, (w1 + w2) / 1e9, load
        }'
        t=$base.terminal b3=$base.baseline3
        awk -v label="$(human_size "$size") in $msg B messages" \
            -v tm="$(kv "$t" messages)" -v tt="$(kv "$t" messages_total)" \
            -v tw="$(kv "$t" wall_ns)" -v tc="$(kv "$t" cpu_ns)" -v lc="$(kv "$t" life_cpu_ns)" \
            -v cm="$(kv "$t" cpu_messages)" -v cw="$(kv "$t" cpu_wall_ns)" \
            -v hwm="$(kv "$t" hwm_kb)" -v shm="$(kv "$t" rss_shmem_kb)" \
            -v stop="$(kv "$t" stopped_by_budget)" -v stall="$(kv "$t" stalled)" \
            -v tx="$(kv "$t" xruns)" -v tries="$(kv "$t" tries)" -v atstall="$(kv "$t" end_at_stall)" \
            -v m2="$(kv "$b2" messages)" -v w2="$(kv "$b2" wall_ns)" -v c2="$(kv "$b2" cpu_ns)" \
            -v m3="$(kv "$b3" messages)" -v w3="$(kv "$b3" wall_ns)" -v c3="$(kv "$b3" cpu_ns)" \
            -v s2="$(kv "$b2" stalled)" -v s3="$(kv "$b3" stalled)" \
            -v p2a="$(kv "$b2" trip_p10_ns)" -v p2b="$(kv "$b2" trip_p90_ns)" \
            -v p3a="$(kv "$b3" trip_p10_ns)" -v p3b="$(kv "$b3" trip_p90_ns)" \
            -v x2="$(kv "$b2" xruns)" -v x3="$(kv "$b3" xruns)" \
            -v load="$(cat "$base.load-terminal" 2>/dev/null)" 'BEGIN {
            if (tm == "" || m2 == "" || m3 == "") { printf "| transfer, terminal | %s | failed: see the logs | | | | | |\n", label; exit }
            t = tw / tm / 1e6; bm = m2 + m3; b = (w2 + w3) / bm / 1e6
            part = (tm < tt) ? sprintf("%d of %d messages (%s)", tm, tt, stall == 1 ? "then stalled: a MIDI event was lost" : "budget") : sprintf("%d messages", tm)
            lost = (s2 == 1 || s3 == 1) ? " (one stalled: a MIDI event was lost)" : ""
            spread = sprintf("10-90 %% of trips %.2f-%.2f / %.2f-%.2f ms", p2a / 1e6, p2b / 1e6, p3a / 1e6, p3b / 1e6)
            cpu = (tc >= 0 && cm > 0 && cw > 0) ? sprintf("%.3f ms/msg, %.1f %% of a core (baseline %.3f)", tc / cm / 1e6, 100 * tc / cw, (c2 + c3) / bm / 1e6) : "not measured: no progress line"
            over = (cm > 0 && cm < tm) ? sprintf("; CPU over the first %d", cm) : ""
            if (atstall == 1) over = over "; end of the figures taken from the waiting line (5-7 ms late)"
            if (tries > 1) over = over sprintf("; figures of try %d (the earlier stalled on the header)", tries)
            printf "| transfer, terminal | %s | %.3f ms/msg | %.3f ms/msg | %.2f | %s | %.0f MB (%.0f MB without JACK shm) | %s%s; whole process %.0f ms CPU; baseline %d round trips%s, %s; XRuns: terminal %d in %.1f s, baseline %d in %.1f s; load %s |\n",
                label, t, b, t / b, cpu, hwm / 1024, (hwm - shm) / 1024, part, over, lc / 1e6, bm, lost,
                spread, tx, tw / 1e9, x2 + x3, (w2 + w3) / 1e9, load
        }'
    done
    # When the two programs are alike, a pair's ratio and its inverse are equally likely, and the
    # mean of the ratios still comes out above 1, by about their spread squared (1-2 % here): the
    # pairs are averaged on a log scale instead, a geometric mean.
    [ -s "$results/pairs.tsv" ] && awk -F'\t' '
        $3 > 0 && $7 > 0 {
            b = $4 / $3 / 1e6; t = $8 / $7 / 1e6; r = log(t / b)
            n++; sr += r; srr += r * r; sb += b; st += t
            if (n == 1 || r < lo) lo = r
            if (n == 1 || r > hi) hi = r
            if ($6 == 1 || $9 == 1) stalls++
            if ($10 > 0 && $12 > 0) { nc++; cm += $11 / $10 / 1e6; share += $11 / $12 }
            bc += $5 / $3 / 1e6
            if (n == 1 || $2 < l1) l1 = $2
            if (n == 1 || $2 > l2) l2 = $2
        }
        END {
            if (n < 2) { print "| transfer, terminal vs baseline | pairs of runs | failed: see the logs | | | | | |"; exit }
            m = sr / n; se = sqrt((srr - n * m * m) / (n - 1) / n)
            printf "| transfer, terminal vs baseline | 64 KB in 256 B messages, %d pairs of runs | %.3f ms/msg (mean of runs) | %.3f ms/msg | %.3f (geometric mean of the pairs\x27 ratios; within 2 standard errors: %.3f to %.3f) | %.3f ms/msg, %.1f %% of a core (baseline %.3f) | | ratio per pair %.2f to %.2f, ratio of the mean times %.3f; %d pairs with a stalled run (its figures up to the stall); load %s to %s |\n",
                n, st / n, sb / n, exp(m), exp(m - 2 * se), exp(m + 2 * se), nc ? cm / nc : -1,
                nc ? 100 * share / nc : -1, bc / n, exp(lo), exp(hi), st / sb, stalls, l1, l2
        }' "$results/pairs.tsv"
    s=$results/startup
    [ -f "$s" ] && awk -v runs="$(kv "$s" runs)" -v p="$(kv "$s" painted_us)" -v lo="$(kv "$s" painted_min_us)" \
        -v hi="$(kv "$s" painted_max_us)" -v first="$(kv "$s" first_painted_us)" \
        -v m="$(kv "$s" main_us)" -v a="$(kv "$s" app_us)" -v hwm="$(kv "$s" idle_hwm_kb)" \
        -v shm="$(kv "$s" idle_shmem_kb)" 'BEGIN {
        if (runs == "") { print "| start-up | to the port dialog | failed: see the logs | | | | | |"; exit }
        printf "| start-up | process start to port dialog painted | %.1f ms (median of %d; %.1f to %.1f; first %.1f) | | | | %.0f MB at idle (%.0f MB without JACK shm) | main() at %.1f ms, QApplication built at %.1f ms |\n",
            p / 1000, runs, lo / 1000, hi / 1000, first / 1000, hwm / 1024, (hwm - shm) / 1024, m / 1000, a / 1000
    }'
    [ -f "$results/micro.tsv" ] && awk -F'\t' '
        function hs(b) { return b >= 1048576 ? (b / 1048576) " MB" : b >= 1024 ? (b / 1024) " KB" : b " B" }
        function label(n,   a) {
            sub(/_median$/, "", n)
            split(n, a, "/")
            if (n == "BM_ReceiveAck") return "receive + parse: ACK reply (6 B)"
            if (n == "BM_ReceiveVersionReply") return "receive + parse: version reply (19 B)"
            if (n == "BM_ReceiveAckByteByByte") return "receive + parse: ACK in 6 one-byte events"
            if (a[1] == "BM_ReceiveLongMessage") return "receive + parse: unknown " hs(a[2]) " message"
            if (a[1] == "BM_make7") return "make7, " hs(a[2])
            if (a[1] == "BM_make8") return "make8, " hs(a[2]) " decoded"
            if (a[1] == "BM_LoadFile") return "load file (construct + CaricaBuffer), " hs(a[2])
            if (a[1] == "BM_CutMessages") return "cut into messages (SendSys, no-op sink), " hs(a[2]) " in " hs(a[3]) " msgs"
            if (n == "BM_ProcessEventsIdle") return "one pass of delay(): processEvents, nothing pending"
            if (n == "BM_ProgressSameValue") return "progress update, same percentage"
            if (n == "BM_ProgressNewValueAndRepaint") return "progress update, new percentage + repaint"
            return n
        }
        {
            r = ""
            if ($3 > 0) r = sprintf("%.0f MB/s", $3 / 1e6)
            item = ($1 ~ /Receive|Cut/) ? "message" : "call"
            if ($4 > 0) r = r (r == "" ? "" : ", ") sprintf("%.0f ns per %s", 1e9 / $4, item)
            if (r == "") r = sprintf("%.0f ns", $2)
            printf "| micro | %s | %s | | | | | median of 3 |\n", label($1), r
        }' "$results/micro.tsv"
    true # benchmarks left out leave no rows
} >"$work/table.md"

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
{
    echo
    echo "Machine: $(nproc) cores, $cpu, Linux $(uname -r); JACK dummy driver, $period frames at 48 kHz ($(cat "$results/jack-mode"))"
    echo "Load average (1, 5, 15 min): $(cat "$results/load-start") at the start, $(cat "$results/load-end") at the end"
    if [ "$budget" = 0 ]; then
        echo "Every update file sent whole; baseline: $baseline_messages round trips per case"
    else
        echo "Updater transfers stopped after ${budget} s (as Exit does); baseline: $baseline_messages round trips per case"
    fi
} >>"$work/table.md"
cat "$work/table.md"

#!/usr/bin/env bash
# Flash transfer benchmark against the simulated board with wire timing (not part of the test
# run). The board times its line (--timing), so the figures tell zelk's share from the board's:
#  (a) a 1 MiB block write at 460800 baud: the protocol's ideal wire time (per 512-byte block
#      2+8+512 bytes out and 2+8+8 back, 10 bits per byte), zelk's data phase, the board's own
#      processing per block and its pacing delay, zelk's turnaround per reply (board's last reply
#      byte to zelk's next byte, median and 99th percentile), zelk's CPU seconds per MiB;
#  (b) a 2 MiB flash read at 460800 baud: wire time, zelk's time from the first data bit to its
#      exit, the board's pacing delay, zelk's CPU seconds per MiB; then 256 KiB read from a line
#      at 38400, at that speed and with "read speed 460800": the speed-up of the fast read;
#  (c) scripts/flash-many writing 256 KiB to 8 boards at once, against one board alone;
#  (d) a board's cycle, zelk erase needed write input (70 000-byte Intel HEX) write speed 460800
#      verify, with the paced letters' pauses as shipped and with "pause 100"; and a station's
#      boards per hour with two slots, both ways, each board replaced as soon as it is recorded.
# (a) and (b) run twice: with zelk, and with an immediate scripted host (scripts/bench_host.cc)
# that keeps to the protocol with nothing else to do: its figures are the floor that the board and
# the pseudo-terminal put under any host. Each part ends with a "summary" line.
# Usage: scripts/bench.sh [a] [b] [c] [d]   (all four when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
parts=${*:-a b c d}

work=$(mktemp -d /tmp/zelk-bench-XXXXXX)
build=build-bench
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZELK_TESTS=OFF &&
       cmake --build "$build" -j2 --target zelk zelk-board zelk-station &&
       g++ -O2 -std=c++20 -o "$work/bench_host" scripts/bench_host.cc; } >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    rm -rf "$work"
    exit 1
fi
zelk=$root/$build/zelk
board_bin=$root/$build/zelk-board
host=$work/bench_host
baud=460800

board_pid=
stop_board() {
    if [ -n "$board_pid" ]; then
        kill "$board_pid" 2>/dev/null || true
        wait "$board_pid" 2>/dev/null || true
        board_pid=
    fi
}
trap 'stop_board; rm -rf "$work"' EXIT

# Starts a board with the given options; sets board_pid and tty.
start_board() {
    "$board_bin" "$@" >"$work/board.out" 2>"$work/board.err" &
    board_pid=$!
    tty=
    for _ in $(seq 50); do
        tty=$(head -n 1 "$work/board.out" 2>/dev/null || true)
        [ -n "$tty" ] && return 0
        sleep 0.1
    done
    echo "zelk-board did not start: $(cat "$work/board.err")" >&2
    exit 1
}

# Runs a command with its output to files $1.out/$1.err; prints "<monotonic ns at its end>
# <CPU seconds>" (the steady clock the board's timing uses); its start goes to $1.start.
timed() {
    local name=$1
    shift
    python3 -c '
import os, subprocess, sys, time
with open(sys.argv[1] + ".out", "w") as o, open(sys.argv[1] + ".err", "w") as e:
    open(sys.argv[1] + ".start", "w").write("%d\n" % time.monotonic_ns())
    p = subprocess.Popen(sys.argv[2:], stdout=o, stderr=e)
    _, st, r = os.wait4(p.pid, 0)
end = time.monotonic_ns()
rc = p.returncode = os.waitstatus_to_exitcode(st)
print(end, r.ru_utime + r.ru_stime)
sys.exit(rc)' "$name" "$@"
}

# Median and 99th percentile of the numbers on stdin, one a line.
percentiles() {
    sort -n | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "- -"; exit }
        m = int((NR + 1) / 2); p = int(NR * 0.99 + 0.999); if (p < 1) p = 1
        printf "%.0f %.0f\n", v[m], v[p] }'
}

# The block write's figures from a board timing file: span, board processing and pacing delay
# (seconds), the ready markers the board sent between blocks (a send that follows another send:
# the monitor offers "rr" whenever it is idle), and the turnarounds (microseconds, to
# turnarounds.txt).
write_figures() {
    awk -v baud="$baud" -v out="$work/turnarounds.txt" '
        $1 == "R" { if (!started) { started = 1; first = $2 }
                    if (prev == "T") print ($2 - prev_at) / 1000 > out
                    last_r_wire = $3; prev = "R"; prev_at = $2; next }
        $1 == "T" && started {
                    if (prev == "R") proc += $3 - last_r_wire
                    else if ($4 == 2) markers++
                    late += $2 - ($3 + $4 * 10 * 1e9 / baud)
                    last = $2; prev = "T"; prev_at = $2 }
        END { printf "%.6f %.6f %.6f %d\n", (last - first) / 1e9, proc / 1e9, late / 1e9, markers }' "$1"
}

# The read's figures: the first data bit on the wire (ns), the last data byte delivered (ns),
# the board's pacing delay (s).
read_figures() {
    awk -v baud="$baud" '
        { k[NR] = $1; at[NR] = $2; wire[NR] = $3; n[NR] = $4 }
        $1 == "R" { last_r = NR }
        END {
            first = 0; late = 0
            for (i = last_r + 1; i <= NR; i++) {
                if (k[i] != "T") continue
                if (n_seen < 8) { n_seen += n[i]; continue }  # the echo of the count
                if (!first) first = wire[i]
                late += at[i] - (wire[i] + n[i] * 10 * 1e9 / baud); last = at[i]
            }
            printf "%.0f %.0f %.6f\n", first, last, late / 1e9 }' "$1"
}

cd "$work"

if [[ $parts == *a* ]]; then
    image_bytes=$((1024 * 1024))
    blocks=$((image_bytes / 512))
    head -c "$image_bytes" /dev/urandom >image.bin
    echo "(a) block write, 1 MiB ($blocks blocks) at $baud baud, board with wire timing; load: $(cut -d' ' -f1-3 /proc/loadavg)"
    start_board --wire-speed --speed "$baud" --timing "$work/zelk-write.timing"
    read -r _ cpu < <(timed zw "$zelk" speed "$baud" write input image.bin "$tty") ||
        { cat zw.out zw.err >&2; exit 1; }
    stop_board
    start_board --wire-speed --speed "$baud" --timing "$work/host-write.timing"
    timed hw "$host" "$tty" "$baud" write "$blocks" >/dev/null || { cat hw.err >&2; exit 1; }
    stop_board
    transfer=$(sed -n 's/^Transfer time = \([0-9.]*\) sec$/\1/p' zw.out)
    read -r zspan zproc zlate zmark < <(write_figures zelk-write.timing)
    read -r zmed zp99 < <(percentiles <turnarounds.txt)
    read -r hspan hproc hlate hmark < <(write_figures host-write.timing)
    read -r hmed hp99 < <(percentiles <turnarounds.txt)
    awk -v b="$blocks" -v baud="$baud" -v transfer="$transfer" -v cpu="$cpu" \
        -v zs="$zspan" -v zp="$zproc" -v zl="$zlate" -v zm="$zmed" -v z9="$zp99" -v zk="$zmark" \
        -v hs="$hspan" -v hp="$hproc" -v hl="$hlate" -v hm="$hmed" -v h9="$hp99" -v hk="$hmark" 'BEGIN {
        ideal = b * ((2 + 8 + 512) + (2 + 8 + 8)) * 10 / baud
        printf "    ideal wire time             %8.3f s\n", ideal
        printf "                                    zelk   immediate host\n"
        printf "    data phase (board clock)    %8.3f s  %8.3f s\n", zs, hs
        printf "    board processing per block  %8.1f us %8.1f us\n", zp / b * 1e6, hp / b * 1e6
        printf "    board pacing delay, total   %8.3f s  %8.3f s\n", zl, hl
        printf "    host turnaround median      %8s us %8s us\n", zm, hm
        printf "    host turnaround p99         %8s us %8s us\n", z9, h9
        zh = zs - ideal - zp - zl; hh = hs - ideal - hp - hl
        printf "    host share (rest)           %8.3f s  %8.3f s  (%.2f%% / %.2f%% of ideal)\n",
               zh, hh, 100 * zh / ideal, 100 * hh / ideal
        printf "    ideal / (data phase - board share)  %.2f%%\n", 100 * ideal / (zs - zp - zl)
        printf "    ready markers between blocks %7d    %8d     (2 bytes each, not in the ideal)\n", zk, hk
        printf "    zelk reports transfer time  %8.3f s;  zelk CPU %.3f s = %.3f s per MiB (whole run)\n",
               transfer, cpu, cpu / (b * 512 / 1048576)
        printf "    summary: of the ideal %.1f s on the wire, zelk adds %.2f%% waiting on itself, the bare host %.2f%%;\n",
               ideal, 100 * zh / ideal, 100 * hh / ideal
        printf "             zelk answers the board in %s us (median), %.1f times the bare host'"'"'s %s us\n",
               zm, zm / (hm > 0 ? hm : 1), hm
    }'
fi

if [[ $parts == *b* ]]; then
    read_bytes=$((2 * 1024 * 1024))
    echo "(b) flash read, 2 MiB at $baud baud, board with wire timing; load: $(cut -d' ' -f1-3 /proc/loadavg)"
    start_board --wire-speed --speed "$baud"
    read -r _ cpu0 < <(timed z0 "$zelk" read size 1 speed "$baud" "$tty") || { cat z0.out z0.err >&2; exit 1; }
    stop_board
    start_board --wire-speed --speed "$baud" --timing "$work/zelk-read.timing"
    read -r zend cpu < <(timed zr "$zelk" read size "$read_bytes" speed "$baud" "$tty") ||
        { cat zr.out zr.err >&2; exit 1; }
    stop_board
    calls=
    if command -v strace >/dev/null; then
        start_board --wire-speed --speed "$baud"
        strace -f -c -o strace.txt "$zelk" read size "$read_bytes" speed "$baud" "$tty" \
            >/dev/null 2>&1 || true
        stop_board
        calls=$(awk '$NF == "total" { print $4 }' strace.txt)
    fi
    start_board --wire-speed --speed "$baud" --timing "$work/host-read.timing"
    read -r hend _ < <(timed hr "$host" "$tty" "$baud" read "$read_bytes") || { cat hr.err >&2; exit 1; }
    stop_board
    read -r zfirst zlast zlate < <(read_figures zelk-read.timing)
    read -r hfirst hlast hlate < <(read_figures host-read.timing)
    awk -v m="$read_bytes" -v baud="$baud" -v cpu="$cpu" -v cpu0="$cpu0" -v calls="$calls" \
        -v zf="$zfirst" -v zl="$zlast" -v ze="$zend" -v zd="$zlate" \
        -v hf="$hfirst" -v hl="$hlast" -v he="$hend" -v hd="$hlate" 'BEGIN {
        ideal = m * 10 / baud; mib = m / 1048576
        printf "    ideal wire time             %8.3f s\n", ideal
        printf "                                    zelk   immediate host\n"
        printf "    board: first bit to last byte %6.3f s  %8.3f s  (pacing delay %.3f s / %.3f s)\n",
               (zl - zf) / 1e9, (hl - hf) / 1e9, zd, hd
        printf "    host: first bit to its exit %8.3f s  %8.3f s  (%.2f%% / %.2f%% of ideal)\n",
               (ze - zf) / 1e9, (he - hf) / 1e9, 100 * (ze - zf) / 1e9 / ideal, 100 * (he - hf) / 1e9 / ideal
        printf "    zelk after the last byte    %8.1f ms (file closed, line restored, exit)\n", (ze - zl) / 1e6
        printf "    zelk CPU  %.3f s whole run, %.3f s for a 1-byte read: %.4f s per MiB (%.4f with the fixed part)\n",
               cpu, cpu0, (cpu - cpu0) / mib, cpu / mib
        if (calls != "")
            printf "    system calls %d (%.0f per MiB)\n", calls, calls / mib
        printf "    summary: 2 MiB take %.1f s on the wire; zelk has them in %.1f s from the first bit, the bare host in %.1f s\n",
               ideal, (ze - zf) / 1e9, (he - hf) / 1e9
    }'
    # The fast read against a board at the normal speed: the same 256 KiB at 38400, then with
    # the data switched to 460800.
    small=$((256 * 1024))
    start_board --wire-speed
    read -r slow_end _ < <(timed zs0 "$zelk" read size "$small" "$tty") || { cat zs0.out zs0.err >&2; exit 1; }
    stop_board
    start_board --wire-speed
    read -r fast_end fast_cpu < <(timed zs1 "$zelk" read size "$small" read speed "$baud" "$tty") ||
        { cat zs1.out zs1.err >&2; exit 1; }
    stop_board
    read -r slow_start < zs0.start
    read -r fast_start < zs1.start
    awk -v m="$small" -v baud="$baud" -v s0="$slow_start" -v s1="$slow_end" -v f0="$fast_start" \
        -v f1="$fast_end" -v cpu="$fast_cpu" 'BEGIN {
        slow = (s1 - s0) / 1e9; fast = (f1 - f0) / 1e9
        printf "    256 KiB from a line at 38400: %.1f s at 38400, %.1f s with read speed %d (whole runs; CPU %.3f s)\n",
               slow, fast, baud, cpu
        printf "    summary: \"read speed %d\" reads 256 KiB %.1f times as fast as the line'"'"'s 38400 (%.1f s against %.1f s;\n",
               baud, slow / fast, fast, slow
        printf "             each run has 6 s of paced command letters, the fast one also the speed frame and 1 s back)\n"
    }'
fi

if [[ $parts == *c* ]]; then
    many_bytes=$((256 * 1024))
    head -c "$many_bytes" /dev/urandom >many.bin
    echo "(c) scripts/flash-many, 256 KiB at $baud baud, boards with wire timing; load: $(cut -d' ' -f1-3 /proc/loadavg)"
    pids=()
    ttys=()
    for i in 1 2 3 4 5 6 7 8; do
        "$board_bin" --wire-speed --speed "$baud" >"board$i.out" 2>/dev/null &
        pids+=($!)
    done
    stop_boards() { kill "${pids[@]}" 2>/dev/null || true; wait "${pids[@]}" 2>/dev/null || true; }
    trap 'stop_boards; stop_board; rm -rf "$work"' EXIT
    for i in 1 2 3 4 5 6 7 8; do
        for _ in $(seq 50); do
            t=$(head -n 1 "board$i.out" 2>/dev/null || true)
            [ -n "$t" ] && break
            sleep 0.1
        done
        ttys+=("$t")
    done
    # One board alone, then all eight at once; CPU of everything flash-many started.
    run_many() {
        python3 -c '
import resource, subprocess, sys, time
t0 = time.monotonic()
rc = subprocess.call(sys.argv[1:], stdout=subprocess.DEVNULL)
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.3f %.3f %d" % (time.monotonic() - t0, r.ru_utime + r.ru_stime, rc))' \
            "$root/scripts/flash-many" --zelk "$zelk" --logs "$1" --speed "$baud" many.bin "${@:2}"
    }
    read -r solo_wall solo_cpu solo_rc < <(run_many solo "${ttys[0]}")
    read -r all_wall all_cpu all_rc < <(run_many all "${ttys[@]}")
    solo=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["seconds"])' solo/1.json)
    echo "    one board alone: ${solo} s in zelk (flash-many ${solo_wall} s wall, ${solo_cpu} CPU-s, exit $solo_rc)"
    echo "    eight at once: flash-many ${all_wall} s wall, ${all_cpu} CPU-s (exit $all_rc);" \
         "$(awk -v c="$all_cpu" -v w="$all_wall" 'BEGIN { printf "%.1f%% of one core", 100 * c / w }')"
    for i in 1 2 3 4 5 6 7 8; do
        python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))
s = float(r["seconds"]); solo = float(sys.argv[2])
print("    board %s  %-12s %8.3f s  %+6.2f%% against alone" % (sys.argv[3], r["device"], s, 100 * (s - solo) / solo))' \
            "all/$i.json" "$solo" "$i"
    done
    stop_boards
fi

if [[ $parts == *d* ]]; then
    command -v srec_cat >/dev/null || { echo "(d) needs srec_cat (apt-get install srecord)" >&2; exit 1; }
    head -c 70000 /dev/urandom >cycle.raw
    srec_cat cycle.raw -binary -o cycle.hex -intel
    words=(erase needed write input cycle.hex write speed "$baud" verify)
    echo "(d) zelk ${words[*]}, board with wire timing; load: $(cut -d' ' -f1-3 /proc/loadavg)"
    start_board --wire-speed
    for pause in 3000 100; do
        for i in 1 2 3; do
            read -r end _ < <(timed "cycle$pause.$i" "$zelk" "${words[@]}" pause "$pause" "$tty")
            echo "$(( (end - $(cat "cycle$pause.$i.start")) / 1000000 ))"
        done >"cycle$pause.ms"
        awk -v p="$pause" '{ s += $1; t = t sprintf(" %.1f", $1 / 1000) } END {
            printf "    pause %4d ms: %s s, mean %.1f s\n", p, t, s / NR / 1000 }' "cycle$pause.ms"
    done
    stop_board
    # A station with two slots behind links under /dev (zelk takes devices there only); each board
    # goes (its link first, as udev removes it) and the next comes as soon as it is recorded.
    boards=8
    links=("/dev/zelk-bench-$$-1" "/dev/zelk-bench-$$-2")
    declare -A slot_pid
    station_pid=
    end_station() {
        if [ -n "$station_pid" ]; then
            kill -INT "$station_pid" 2>/dev/null || true
            wait "$station_pid" 2>/dev/null || true
        fi
        rm -f "${links[@]}"
        kill "${slot_pid[@]}" 2>/dev/null || true
        station_pid=
    }
    trap 'end_station; stop_board; rm -rf "$work"' EXIT
    count() { grep -c "$1" "$2" 2>/dev/null || true; } # lines of FILE with TEXT; "" without it
    new_board() { # SLOT
        local tty
        tty=$("$board_bin" --detach --wire-speed 2>"$work/detach.err")
        slot_pid[$1]=$(grep -o '[0-9]*' "$work/detach.err")
        ln -sfn "$tty" "${links[$1 - 1]}"
    }
    for pause in 3000 100; do
        logs=$work/station$pause
        new_board 1
        new_board 2
        "$root/scripts/flash-many" --zelk "$zelk" --station --write-speed "$baud" --pause "$pause" \
            --logs "$logs" cycle.hex "${links[@]}" >"$work/station$pause.out" 2>&1 &
        station_pid=$!
        declare -A seen=([1]=0 [2]=0)
        until [ "$(count '"board_end"' "$logs/events.jsonl")" -ge $boards ] 2>/dev/null; do
            for s in 1 2; do
                n=$(count "\"slot_board_done\",\"slot\":$s}" "$logs/events.jsonl")
                if [ "${n:-0}" -gt "${seen[$s]}" ]; then
                    seen[$s]=$n
                    rm -f "${links[$s - 1]}"
                    kill "${slot_pid[$s]}" 2>/dev/null || true
                    new_board "$s"
                fi
            done
            sleep 0.05
        done
        end_station
        python3 -c '
import datetime, json, sys
ev = [json.loads(l) for l in open(sys.argv[1])]
t = lambda e: datetime.datetime.strptime(e["time"], "%Y-%m-%dT%H:%M:%S.%fZ").timestamp()
starts = [t(e) for e in ev if e["event"] == "board_start"]
ends = sorted((t(e), e["result"]) for e in ev if e["event"] == "board_end")[: int(sys.argv[2])]
ok = sum(1 for _, result in ends if result == "ok")
span = ends[-1][0] - min(starts)
print("    station, two slots, pause %4s ms: %d boards (%d ok) in %.1f s: %.0f boards per hour"
      % (sys.argv[3], len(ends), ok, span, len(ends) / span * 3600))' \
            "$logs/events.jsonl" "$boards" "$pause"
    done
fi

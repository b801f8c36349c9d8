#!/usr/bin/env bash
# Flash transfer benchmark against the simulated board (not part of the test run).
#  (a) a 1 MiB block write at "write speed 460800" on a board that takes real wire time: zelk's
#      data phase and whole run against the protocol's ideal wire time (per 512-byte block
#      2+8+512 bytes out and 2+8+8 back, 10 bits per byte), and the data phase again with
#      standard error a terminal, where the progress line is drawn;
#  (b) a 2 MiB flash read from a board without wire timing: zelk's CPU seconds per MiB, and its
#      read calls per MiB when strace is at hand.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d /tmp/zelk-bench-XXXXXX)
build=build-bench
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZELK_TESTS=OFF &&
       cmake --build "$build" -j2 --target zelk zelk-board; } >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    rm -rf "$work"
    exit 1
fi
zelk=$PWD/$build/zelk
board_bin=$PWD/$build/zelk-board

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

cd "$work"

# ---- (a) block write ----
image_bytes=$((1024 * 1024))
head -c "$image_bytes" /dev/urandom >image.bin
start_board --wire-speed
start=$(date +%s.%N)
"$zelk" write write speed 460800 input image.bin "$tty" >write.out 2>write.err || {
    cat write.out write.err >&2
    exit 1
}
end=$(date +%s.%N)
stop_board

# The same write with standard error a terminal, where the live progress line is drawn.
tty_transfer=
if command -v script >/dev/null; then
    start_board --wire-speed
    script -q -c "'$zelk' write write speed 460800 input image.bin '$tty' >write-tty.out" /dev/null \
        >write-tty.screen
    stop_board
    tty_transfer=$(sed -n 's/^Transfer time = \([0-9.]*\) sec$/\1/p' write-tty.out)
fi

blocks=$(((image_bytes + 511) / 512))
transfer=$(sed -n 's/^Transfer time = \([0-9.]*\) sec$/\1/p' write.out)
rate=$(sed -n 's/^Speed = \([0-9.]*\) bytes\/sec$/\1/p' write.out)
awk -v blocks="$blocks" -v transfer="$transfer" -v rate="$rate" -v start="$start" -v end="$end" \
    -v tty_transfer="$tty_transfer" \
    'BEGIN {
        ideal = blocks * ((2 + 8 + 512) + (2 + 8 + 8)) * 10 / 460800
        printf "(a) block write, 1 MiB at 460800 baud, wire timing on (%d blocks)\n", blocks
        printf "    ideal wire time      %8.3f s\n", ideal
        printf "    zelk data phase      %8.3f s  (%.1f%% of ideal; zelk reports %s bytes/sec)\n",
               transfer, 100 * transfer / ideal, rate
        printf "    whole zelk run       %8.3f s  (handshakes, speed switch and 1 s restore included)\n",
               end - start
        if (tty_transfer != "")
            printf "    data phase, stderr a terminal (progress line drawn) %8.3f s\n", tty_transfer
    }'

# ---- (b) flash read ----
read_bytes=$((2 * 1024 * 1024))
start_board
TIMEFORMAT='%U %S'
cpu=$( { time "$zelk" read size "$read_bytes" "$tty" >read.out 2>read.err; } 2>&1 ) || {
    cat read.out read.err >&2
    exit 1
}
calls=
if command -v strace >/dev/null; then
    strace -f -c -e trace=read -o strace.txt "$zelk" read size "$read_bytes" "$tty" \
        >/dev/null 2>&1 || true
    calls=$(awk '$NF == "read" { print $4 }' strace.txt)
fi
stop_board
size=$(stat -c %s zelk.out)
awk -v cpu="$cpu" -v calls="$calls" -v size="$size" -v want="$read_bytes" \
    'BEGIN {
        split(cpu, t, " ")
        mib = want / 1048576
        printf "(b) flash read, 2 MiB, wire timing off (%d bytes stored)\n", size
        printf "    zelk CPU             %8.3f s user + %.3f s system = %.3f s per MiB\n",
               t[1], t[2], (t[1] + t[2]) / mib
        if (calls != "")
            printf "    read calls           %8d  (%.0f per MiB)\n", calls, calls / mib
    }'

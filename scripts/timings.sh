#!/usr/bin/env bash
# Wall-clock time of each operation against the simulated board with wire timing on, at the
# line speeds of the manual's table (38400, 115200, 460800). Not part of the test run.
# $1: the build folder (default build).
set -euo pipefail
build=$(realpath "${1:-build}")
work=$(mktemp -d /tmp/zelk-timings-XXXXXX)
board_pid=
stop_board() {
    [ -n "$board_pid" ] && kill "$board_pid" 2>/dev/null || true
    board_pid=
}
trap 'stop_board; rm -rf "$work"' EXIT
cd "$work"
head -c 65536 /dev/urandom >image64k.bin
head -c 4096 /dev/urandom >image4k.bin

# Runs zelk with the given words; prints the seconds it took, or FAIL.
run() {
    local start end
    start=$(date +%s.%N)
    if "$build/zelk" "$@" "$dev" >run.out 2>run.err; then
        end=$(date +%s.%N)
        awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", e - s }'
    else
        printf 'FAIL'
    fi
}

printf '%-44s %8s %8s %8s\n' operation 38400 115200 460800
declare -A t
for s in 38400 115200 460800; do
    dev=$("$build/zelk-board" --detach --wire-speed --speed "$s" 2>board.err)
    board_pid=$(grep -o '[0-9]*' board.err)
    t[id,$s]=$(run manufactory speed "$s")
    t[erase,$s]=$(run erase speed "$s")
    t[sector,$s]=$(run erase sector 0 speed "$s")
    t[write,$s]=$(run write input image64k.bin speed "$s")
    t[read,$s]=$(run read size 65536 speed "$s")
    run erase sector 0 speed "$s" >/dev/null
    t[bwrite,$s]=$(run bwrite input image4k.bin block size 256 speed "$s")
    t[regs,$s]=$(run registers speed "$s")
    stop_board
    # The usual way: the monitor at 38400, only the data phase of the block write faster.
    dev=$("$build/zelk-board" --detach --wire-speed 2>board.err)
    board_pid=$(grep -o '[0-9]*' board.err)
    t[wspeed,$s]=$(run write input image64k.bin write speed "$s")
    stop_board
done
row() { printf '%-44s %8s %8s %8s\n' "$1" "${t[$2,38400]}" "${t[$2,115200]}" "${t[$2,460800]}"; }
row "manufactory" id
row "erase (whole chip)" erase
row "erase sector 0" sector
row "write, 64 KiB, line at the speed" write
row "write, 64 KiB, line 38400, write speed" wspeed
row "read size 65536" read
row "bwrite, 4 KiB, block size 256" bwrite
row "registers" regs

#!/usr/bin/env bash
# How close "plan"'s time estimate comes to a run on the simulated board with wire timing at
# 460800 baud (not part of the test run: the figures depend on the machine's load). For each
# case prints the plan's estimate, the run's elapsed time and their ratio.
# Usage: scripts/plan_check.sh [build dir]   (default build/)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
zelk=$build/zelk
board_bin=$build/zelk-board
command -v srec_cat >/dev/null || { echo "needs srec_cat (apt-get install srecord)" >&2; exit 1; }

work=$(mktemp -d /tmp/zelk-plan-XXXXXX)
board_pid=
trap '[ -n "$board_pid" ] && kill "$board_pid" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"

# A sparse image: 512 KiB at 0 and 256 KiB at 1 MiB.
head -c 524288 /dev/urandom >low.raw
head -c 262144 /dev/urandom >high.raw
srec_cat low.raw -binary high.raw -binary -offset 0x100000 -o app.hex -intel

"$board_bin" --speed 460800 --wire-speed >board.out 2>board.err &
board_pid=$!
for _ in $(seq 50); do
    tty=$(head -n 1 board.out 2>/dev/null || true)
    [ -n "$tty" ] && break
    sleep 0.1
done
[ -n "$tty" ] || { echo "zelk-board did not start: $(cat board.err)" >&2; exit 1; }

check() {
    local estimate start end
    estimate=$("$zelk" plan "$@" | sed -n 's/^Estimated time: \([0-9.]*\) s.*/\1/p')
    start=$(date +%s.%N)
    "$zelk" "$@" "$tty" >run.out 2>run.err || { cat run.err >&2; exit 1; }
    end=$(date +%s.%N)
    awk -v e="$estimate" -v s="$start" -v t="$end" -v w="$*" \
        'BEGIN { r = t - s; printf "%-55s plan %6.1f s  run %6.1f s  plan/run %.3f\n", w, e, r, e / r }'
}

check speed 460800 write input app.hex
check speed 460800 erase needed write input app.hex verify

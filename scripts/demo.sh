#!/usr/bin/env bash
# zelk's main job against the simulated board, no hardware needed: builds zelk and zelk-board,
# starts the board on a pseudo-terminal, then reads the flash ids, erases the chip, writes a
# 20 000-byte image at 115200 baud, reads it back and compares, and dumps the decoded registers.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "Building zelk and zelk-board in build/ (a minute or two the first time) ..."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Its progress, one line per step; nothing when everything is up to date.
cmake --build build -j2 --target zelk zelk-board |
    { grep --line-buffered -E '^\[ *[0-9]+%\] (Building|Linking)' || true; }
zelk=$PWD/build/zelk

work=$(mktemp -d)
board=
cleanup() {
    [[ -n $board ]] && kill "$board" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# --wire-speed: the board takes as long per byte as a real line at its current speed.
dev=$(build/zelk-board --detach --wire-speed --flash "$work/flash.img" 2>"$work/board.pid")
board=$(grep -o '[0-9]*' "$work/board.pid")
echo "Simulated board on $dev"

cd "$work"
head -c 20000 /dev/urandom >image.bin

run() {
    echo
    echo "\$ zelk $*"
    "$zelk" "$@"
}
run manufactory device id "$dev"
run erase write write speed 115200 input image.bin hash read output readback.bin "$dev"
echo
cmp image.bin readback.bin && echo "Read back $(stat -c %s readback.bin) bytes, identical to image.bin"
run registers "$dev"
echo

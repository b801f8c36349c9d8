#!/usr/bin/env bash
# Builds zelk and passes every test twice: a normal build, then under AddressSanitizer and
# UndefinedBehaviorSanitizer; then runs each fuzz target for a short while under the same
# sanitizers. End-to-end tests mostly sleep (the board needs 3 s after each command letter),
# so ctest runs many of them at once.
set -euo pipefail
cd "$(dirname "$0")/.."

parallel=12
passed=0
for variant in build:RelWithDebInfo:OFF build-asan:Debug:ON; do
    IFS=: read -r dir type sanitize <<<"$variant"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DZELK_SANITIZE="$sanitize" >/dev/null
    cmake --build "$dir" -j2
    ctest --test-dir "$dir" -j"$parallel" --output-on-failure | tee "$dir/ctest.log"
    passed=$((passed + $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$dir/ctest.log")))
done

scripts/fuzz.sh 30

echo "tests: $passed passed, 0 failed"

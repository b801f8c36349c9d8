#!/usr/bin/env bash
# Builds zelk and passes every test twice: a normal build, then under AddressSanitizer and
# UndefinedBehaviorSanitizer; then runs each fuzz target for a short while under the same
# sanitizers. End-to-end tests mostly sleep (the board needs 3 s after each command letter),
# so ctest runs many of them at once. The last line adds up what ctest itself reported.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each end-to-end test spends nearly all its time asleep in the board's pauses (a whole suite
# under the sanitizers takes about a minute of CPU), so many run at once; the longest single
# test (about 55 s) bounds the wall time.
parallel=48
total_passed=0
total_failed=0
summary=()
for variant in build:RelWithDebInfo:OFF build-asan:Debug:ON; do
    IFS=: read -r dir type sanitize <<<"$variant"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DZELK_SANITIZE="$sanitize" -DZELK_TESTS=ON >/dev/null
    cmake --build "$dir" -j2
    status=0
    ctest --test-dir "$dir" -j"$parallel" --output-on-failure | tee "$dir/ctest.log" || status=$?
    # ctest's closing line: "100% tests passed, 0 tests failed out of 330"
    counts=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' \
        "$dir/ctest.log" | tail -1)
    if [[ -z $counts ]]; then
        echo "$dir: ctest reported no count (exit status $status)"
        exit 1
    fi
    read -r failed total <<<"$counts"
    passed=$((total - failed))
    summary+=("$dir ($type): $passed passed, $failed failed")
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
    if [[ $status -ne 0 && $failed -eq 0 ]]; then
        echo "$dir: ctest failed (exit status $status) with no failed test counted"
        total_failed=$((total_failed + 1))
    fi
done

if [[ $total_failed -eq 0 ]]; then
    scripts/fuzz.sh 30
else
    summary+=("fuzz: skipped, since $total_failed test(s) failed")
fi

printf '%s\n' "${summary[@]}"
echo "tests: $total_passed passed, $total_failed failed"
[[ $total_failed -eq 0 ]]

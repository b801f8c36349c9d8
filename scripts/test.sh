#!/usr/bin/env bash
# Builds zelk and passes every test twice: a normal build, then under AddressSanitizer and
# UndefinedBehaviorSanitizer; meanwhile runs each fuzz target for a short while under the same
# sanitizers. The last line adds up what ctest itself reported.
set -euo pipefail
cd "$(dirname "$0")/.."

# How many tests run at once follows from the machine and the kind of test. Unit and install
# tests keep a core busy while they run: one at a time per core. End-to-end tests spend nearly
# all their time asleep in the board's pauses (3 s after each command letter): eight per core.
# None of them, nor the board or the test support beside them, may wake every millisecond or
# two to look at something: a few threads doing so beside busy CPUs keep this machine's kernel
# from handing pty bytes over for seconds, longer than zelk's 3 s wait for a reply. The kinds run
# side by side, each with its own number, and the normal build's tests start while the sanitizer
# build's (the slower) still run: the sanitizer build's end-to-end tests bound the wall time.
cores=$(nproc)
jobs_for() {
    case $1 in
    e2e) echo $((cores * 8)) ;;
    *) echo "$cores" ;;
    esac
}
# "other": whatever test carries none of the labels, so that none is left out.
kinds=(unit install e2e other)

# Objects come from ccache when it is installed, whatever directory this clone is in.
launcher=()
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

variants=(build-asan:Debug:ON build:RelWithDebInfo:OFF)
pids=()
for variant in "${variants[@]}"; do
    IFS=: read -r dir type sanitize <<<"$variant"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DZELK_SANITIZE="$sanitize" -DZELK_TESTS=ON \
        "${launcher[@]}" >/dev/null
    cmake --build "$dir" -j"$cores"
    for kind in "${kinds[@]}"; do
        echo "$dir: $kind tests started, $(jobs_for "$kind") at once (at $SECONDS s)"
        if [[ $kind == other ]]; then
            select=(-LE '^(unit|install|e2e)$')
        else
            select=(-L "^$kind\$")
        fi
        (
            ctest --test-dir "$dir" "${select[@]}" -j"$(jobs_for "$kind")" --output-on-failure \
                >"$dir/ctest-$kind.log" 2>&1 || true
            echo "$dir: $kind tests: $(grep 'tests passed' "$dir/ctest-$kind.log" || echo 'none')" \
                "(at $SECONDS s)"
        ) &
        pids+=($!)
    done
done
# The fuzz targets take what the tests leave of the machine: built as any build, they run
# alongside the tests at the lowest priority, each for its 30 s.
mkdir -p build-fuzz
scripts/fuzz.sh 30 nice >build-fuzz/fuzz.log 2>&1 &
fuzz_pid=$!
wait "${pids[@]}"
fuzz_status=0
wait "$fuzz_pid" || fuzz_status=$?

total_passed=0
total_failed=0
summary=()
for variant in "${variants[@]}"; do
    IFS=: read -r dir type sanitize <<<"$variant"
    passed=0
    failed=0
    for kind in "${kinds[@]}"; do
        log=$dir/ctest-$kind.log
        # ctest's closing line: "100% tests passed, 0 tests failed out of 330"
        counts=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' \
            "$log" | tail -1)
        if [[ -z $counts && $kind == other ]] && grep -q 'No tests were found' "$log"; then
            counts="0 0"
        elif [[ -z $counts ]]; then
            cat "$log"
            echo "$dir: ctest reported no count for the $kind tests"
            counts="1 1"
        fi
        read -r f t <<<"$counts"
        passed=$((passed + t - f))
        failed=$((failed + f))
        if [[ $f -ne 0 ]]; then
            # What --output-on-failure kept, and the list of failures.
            cat "$log"
        fi
    done
    summary+=("$dir ($type): $passed passed, $failed failed")
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
done

cat build-fuzz/fuzz.log
if [[ $fuzz_status -eq 0 ]]; then
    summary+=("fuzz: no crash")
else
    summary+=("fuzz: failed (exit status $fuzz_status), see above")
fi

printf '%s\n' "${summary[@]}"
echo "tests: $total_passed passed, $total_failed failed"
[[ $total_failed -eq 0 && $fuzz_status -eq 0 ]]

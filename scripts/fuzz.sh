#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer on)
# and runs each for a while: `scripts/fuzz.sh [seconds per target] [nice]` (default 30). With
# "nice" the targets run at the lowest priority, on what other work leaves of the machine; the
# build never does, so that busy neighbours cannot starve it. Inputs that crash, leak, run out of
# memory or time out are left in build-fuzz/crashes/ and fail the run; a "slow unit" is only
# listed: a starved target's inputs are slow by the wall clock, not by what they make it do.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
run=()
[[ ${2:-} == nice ]] && run=(nice -n 19)

cores=$(nproc)
launcher=()
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DZELK_FUZZ=ON -DZELK_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build-fuzz -j"$cores" >/dev/null
mkdir -p build-fuzz/crashes build-fuzz/logs

# Each target keeps a core busy: as many run at once as there are cores.
for target in fuzz/seeds/*/; do
    name=$(basename "$target")
    corpus=build-fuzz/corpus/$name
    mkdir -p "$corpus"
    while [[ $(jobs -rp | wc -l) -ge $cores ]]; do
        wait -n || true
    done
    # close_fd_mask=3: the tool's own messages go nowhere; libFuzzer keeps its report channel.
    "${run[@]}" build-fuzz/fuzz/fuzz_"$name" -max_total_time="$seconds" -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix=build-fuzz/crashes/"$name"- "$corpus" "$target" \
        >build-fuzz/logs/"$name".log 2>&1 &
done
wait

found=0
for target in fuzz/seeds/*/; do
    name=$(basename "$target")
    echo "fuzz_$name: $seconds s"
    grep -E 'stat::number_of_executed_units|stat::new_units_added|ERROR|SUMMARY|Test unit written' \
        build-fuzz/logs/"$name".log || true
    # No pipe into grep -q here: under pipefail, find killed by the closed pipe would hide a find.
    if [[ -n $(find build-fuzz/crashes -name "$name-*" ! -name "$name-slow-unit-*" -print -quit) ]]; then
        echo "fuzz_$name found a crash"
        found=1
    fi
done
exit "$found"

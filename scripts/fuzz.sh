#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer on)
# and runs each for a while: `scripts/fuzz.sh [seconds per target]` (default 30). Inputs that
# crash are left in build-fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DZELK_FUZZ=ON -DZELK_TESTS=OFF >/dev/null
cmake --build build-fuzz -j2 >/dev/null
mkdir -p build-fuzz/crashes

for target in fuzz/seeds/*/; do
    name=$(basename "$target")
    corpus=build-fuzz/corpus/$name
    mkdir -p "$corpus"
    echo "fuzz_$name: $seconds s"
    # close_fd_mask=3: the tool's own messages go nowhere; libFuzzer keeps its report channel.
    build-fuzz/fuzz/fuzz_"$name" -max_total_time="$seconds" -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix=build-fuzz/crashes/"$name"- "$corpus" "$target" 2>&1 |
        grep -E 'stat::number_of_executed_units|stat::new_units_added|ERROR|SUMMARY|Test unit written' || true
    if ls build-fuzz/crashes/"$name"-* >/dev/null 2>&1; then
        echo "fuzz_$name found a crash"
        exit 1
    fi
done

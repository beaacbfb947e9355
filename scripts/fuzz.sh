#!/usr/bin/env bash
# fuzz.sh BUILD_DIR [SECONDS]: builds the libFuzzer targets with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for SECONDS
# (default 30) from its seed corpus. Fails on any finding.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "$1")
seconds=${2:-30}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all" \
    -DDRAVIK_BUILD_FUZZERS=ON -DDRAVIK_BUILD_TESTS=OFF -DDRAVIK_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target base64_fuzz receive_fuzz error_queue_fuzz

# New inputs go to a corpus in the build tree; the seeds stay untouched.
for target in base64 receive error_queue; do
    echo "== ${target}_fuzz, $seconds seconds"
    mkdir -p "$build/corpus/$target"
    "$build/bin/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
        "$build/corpus/$target" "$root/fuzz/corpus/$target"
done

#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them; arguments go to each
# benchmark binary (for example --benchmark_filter=Flood). By default each
# benchmark runs 5 times, interleaved at random with the others, and the
# ratios are taken between medians.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${DRAVIK_BUILD_ROOT:-$root/build}/bench
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"
ensure_packages "${DRAVIK_BUILD_PACKAGES[@]}" "${DRAVIK_BENCH_PACKAGES[@]}"

cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release -DDRAVIK_BUILD_BENCHMARKS=ON \
    -DDRAVIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$out" -j "$(nproc 2>/dev/null || echo 2)"
[ $# -gt 0 ] || set -- --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true
for bench in "$out"/bin/*_bench; do
    echo "==== $(basename "$bench")"
    "$bench" "$@" --benchmark_out="$out/$(basename "$bench").json" --benchmark_out_format=json
done

# docs/performance.svg, from the UDP run, where it ran every benchmark the
# picture shows.
if python3 "$root/scripts/performance-data.py" "$out/udp_bench.json" "$out"; then
    gnuplot -e "data='$out'; output='$root/docs/performance.svg'" "$root/scripts/performance.gp"
    echo "drew docs/performance.svg"
fi

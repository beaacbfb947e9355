#!/usr/bin/env bash
# The test command: installs what is missing, then builds and tests the project
# with warnings as errors, with AddressSanitizer + UndefinedBehaviorSanitizer and
# with ThreadSanitizer (the first build also runs the Base64 tests under
# qemu-x86_64 as processors without AVX-512 and without AVX2, and its
# timing-sensitive tests again beside two CPU-bound processes); cross-builds
# the Windows DLLs and runs the suite under Wine; fuzzes the Base64 codecs and
# the receive batch for 30 seconds each; installs the project into a temporary
# prefix, builds a consumer against the installed CMake package and
# pkg-config file and runs it; builds the Debian packages and the Windows zip,
# checks them with lintian and builds the consumer against the unpacked
# packages; checks that the library exports only the public API, and that its
# ABI matches the baseline in abi/. Fails on any failure.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${DRAVIK_BUILD_ROOT:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

ensure_packages "${DRAVIK_BUILD_PACKAGES[@]}" "${DRAVIK_BENCH_PACKAGES[@]}" coreutils

stage() { printf '\n==== %s ====\n' "$*"; }

# build_and_test NAME [CMAKE ARGS...]: configures build/NAME, builds, runs CTest.
build_and_test() {
    local name=$1; shift
    stage "$name: build"
    cmake -S "$root" -B "$out/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVIK_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$out/$name" -j "$jobs"
    stage "$name: tests"
    run_ctest "$out/$name"
    tally "$out/$name"
}

# The benchmarks are built here (not run) so they keep compiling cleanly.
build_and_test werror -DDRAVIK_WERROR=ON -DDRAVIK_BUILD_BENCHMARKS=ON

# The tests that assert on time, or on what happens within a time (the error
# line budget, drop lines, stop's drain, floods, races, trains), three times
# over with two CPU-bound processes beside them, so that a test that holds
# only on an idle machine fails here.
stage "werror: timing-sensitive tests, three times, beside two CPU-bound processes"
stress-ng --cpu 2 --timeout 600s --quiet &
stress=$!
trap 'kill "$stress" 2>/dev/null || true' EXIT
run_ctest "$out/werror" --repeat until-fail:3 \
    -R 'FloodTest|HostileTrafficTest|SlowLinkTest|DropsTest|SendStressTest|LifecycleRaceTest|ServerLifecycleTest|GatedTrainTest|ErrorLine|WorkersTest|WorkersRaceTest|UnreachableStormTest|UnreachableTest|RateLimitTest|RaiseTest|WorkerSendsTest|SenderPolicySwapTest|WorkerWaitTest'
tally "$out/werror"
kill "$stress" 2>/dev/null || true
wait "$stress" 2>/dev/null || true
trap - EXIT

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
build_and_test asan -DDRAVIK_WERROR=ON \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# clang: g++ refuses asio's atomic fences under ThreadSanitizer (-Wtsan).
build_and_test tsan -DDRAVIK_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="-fsanitize=thread"

stage "windows: cross-build with MinGW-w64, tests under Wine"
"$root/scripts/test-windows.sh" "$out/windows"
tally "$out/windows"

stage "fuzzing: Base64, the receive batch and the error queue, 30 seconds each"
ensure_packages libclang-rt-14-dev || true
if compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
    "$root/scripts/fuzz.sh" "$out/fuzz" 30
else
    echo "skipped: clang's libFuzzer runtime is not installed"
fi

stage "install and consume"
"$root/scripts/check-install.sh" "$out/werror" "$out/consumer"

stage "exported symbols"
"$root/scripts/check-exports.sh" "$out/werror/lib/libdravik.so"

stage "packages: Debian packages and the Windows zip"
"$root/scripts/check-packages.sh" "$out/packages"

stage "ABI against the baseline"
ensure_packages abigail-tools
"$root/scripts/check-abi.sh" "$out/werror"

stage "all stages passed"
echo "tests: $DRAVIK_PASSED passed, $DRAVIK_FAILED failed, $DRAVIK_SKIPPED skipped"

#!/usr/bin/env bash
# test-windows.sh BUILD_DIR: cross-builds the Windows DLLs and the tests with
# MinGW-w64 and runs the whole suite under Wine. Fails if any test fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "$1")
jobs=$(nproc 2>/dev/null || echo 2)
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"
ensure_packages g++-mingw-w64-x86-64-posix wine64 wine googletest

# A prefix of our own, headless and quiet. Test discovery already runs the
# executables at build time, so Wine is set up before building.
mkdir -p "$build/wineprefix"
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# Without this warm-up Wine's background programs hold CTest's output pipe and
# the first test can hang until its time-out.
wine wineboot -i >/dev/null 2>&1

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVIK_WERROR=ON -DDRAVIK_BUILD_TESTS=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" -j "$jobs"
# Now and then Wine fails to start a test process (no output at all, in a few
# milliseconds); a test that fails is run once more before it counts.
run_ctest "$build" --repeat until-pass:2

# Group traffic needs a network namespace with multicast links, which a
# Windows process cannot make: the group tests run once more inside one made
# here (twice at most, as above).
setup="sh $root/tests/support/group-links.sh"
if unshare -n true 2>/dev/null; then
    in_group_links() {
        unshare -n sh -c "$setup >/dev/null && DRAVIK_NETWORK_NAMESPACE=\"$setup\" \
            wine '$build/bin/multicast_test.exe' --gtest_filter='*GroupTest*'"
    }
    in_group_links || in_group_links
else
    echo "skipped: group tests under Wine (cannot make a network namespace, needs CAP_SYS_ADMIN)"
fi

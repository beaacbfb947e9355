# Sourced by the scripts.

# ensure_packages PKG...: installs the Debian packages that are missing (as
# root, or through sudo), running apt-get update first.
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== Installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "need root (or sudo) to install: ${missing[*]}" >&2; return 1; }
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# The packages every build of the project needs, and the benchmarks' own.
DRAVIK_BUILD_PACKAGES=(cmake make g++ clang libasio-dev libgtest-dev pkgconf binutils python3 qemu-user
    iproute2 util-linux stress-ng systemd)
DRAVIK_BENCH_PACKAGES=(libbenchmark-dev libssl-dev gnuplot-nox python3)

# run_ctest BUILD_DIR [CTEST ARGS...]: runs the suite, then prints why each
# skipped test was skipped, so no test is skipped silently. CTest's output is
# kept in BUILD_DIR/ctest-output.txt.
run_ctest() {
    local status=0 dir=$1
    shift
    ctest --test-dir "$dir" -j "$(nproc 2>/dev/null || echo 2)" --output-on-failure "$@" 2>&1 \
        | tee "$dir/ctest-output.txt" || status=$?
    awk '/: Skipped\r?$/ { reason = 1; next }
         /^\[  SKIPPED \]/ && reason { print "skipped: " $4 "  (" text ")"; reason = 0; text = ""; next }
         reason { sub(/\r$/, ""); text = text $0 }' \
        "$dir/Testing/Temporary/LastTest.log"
    return $status
}

# tally BUILD_DIR: adds that build's CTest results to the totals.
DRAVIK_PASSED=0
DRAVIK_FAILED=0
DRAVIK_SKIPPED=0
tally() {
    local log=$1/ctest-output.txt total failed skipped
    total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
    failed=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
    skipped=$(grep -c '\*\*\*Skipped' "$log" || true)
    DRAVIK_FAILED=$((DRAVIK_FAILED + ${failed:-0}))
    DRAVIK_SKIPPED=$((DRAVIK_SKIPPED + skipped))
    DRAVIK_PASSED=$((DRAVIK_PASSED + ${total:-0} - ${failed:-0} - skipped))
}

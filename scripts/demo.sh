#!/usr/bin/env bash
# The first command to try: installs what is missing, builds the library and
# the dravik example application, and runs `dravik demo` (arguments are passed
# on, e.g. --count 50000 --size 512).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${DRAVIK_BUILD_ROOT:-$root/build}/release
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"
ensure_packages cmake make g++ libasio-dev

cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release -DDRAVIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$out" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
exec "$out/bin/dravik" demo "$@"

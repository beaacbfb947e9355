#!/usr/bin/env bash
# check-install.sh BUILD_DIR WORK_DIR: installs BUILD_DIR into WORK_DIR/prefix,
# then builds and runs tests/consumer against the installed package twice:
# through find_package(Dravik) and through pkg-config; then configures the
# project as a build for use would be, without GoogleTest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "$1")
work=$(realpath -m "$2")
rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
"$root/scripts/check-consumer.sh" "$work/prefix" "$work"

# A build for use configures with nothing but what the library needs, and says
# that the tests are left out.
configured=$(cmake -S "$root" -B "$work/without-gtest" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
grep -q "Dravik: tests not built: GoogleTest not found" <<<"$configured" || {
    echo "configuring without GoogleTest did not say the tests are left out:" >&2
    echo "$configured" >&2
    exit 1
}
echo "configures without GoogleTest, leaving the tests out"

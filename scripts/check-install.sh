#!/usr/bin/env bash
# check-install.sh BUILD_DIR WORK_DIR: installs BUILD_DIR into WORK_DIR/prefix,
# then builds and runs tests/consumer against the installed package twice:
# through find_package(Dravik) and through pkg-config.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "$1")
work=$(realpath -m "$2")
rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
"$root/scripts/check-consumer.sh" "$work/prefix" "$work"

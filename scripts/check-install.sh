#!/usr/bin/env bash
# check-install.sh BUILD_DIR WORK_DIR: installs BUILD_DIR into WORK_DIR/prefix,
# then builds and runs tests/consumer against the installed package twice:
# through find_package(Dravik) and through pkg-config.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "$1")
work=$(realpath -m "$2")
prefix=$work/prefix
rm -rf "$work"
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "-- consumer through find_package(Dravik)"
cmake -S "$root/tests/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

echo "-- consumer through pkg-config"
libdir=$(dirname "$(find "$prefix" -name dravik.pc)")
read -r -a flags <<<"$(PKG_CONFIG_PATH=$libdir pkg-config --cflags --libs dravik)"
c++ -std=c++17 "$root/tests/consumer/main.cpp" "${flags[@]}" -o "$work/consumer-pc"
LD_LIBRARY_PATH=$(dirname "$libdir") "$work/consumer-pc"

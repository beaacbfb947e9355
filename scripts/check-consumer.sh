#!/usr/bin/env bash
# check-consumer.sh PREFIX WORK_DIR: builds tests/consumer against what is
# installed under PREFIX, through find_package(Dravik) and through
# pkg-config, in WORK_DIR, and runs both.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix=$(realpath "$1")
work=$(realpath -m "$2")
libdir=$(dirname "$(dirname "$(find "$prefix" -name dravik.pc)")")
export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

echo "-- consumer through find_package(Dravik)"
cmake -S "$root/tests/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

echo "-- consumer through pkg-config"
read -r -a flags <<<"$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs dravik)"
c++ -std=c++17 "$root/tests/consumer/main.cpp" "${flags[@]}" -o "$work/consumer-pc"
"$work/consumer-pc"

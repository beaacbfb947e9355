#!/usr/bin/env bash
# package.sh OUT_DIR [deb|zip|all]: builds the Debian packages (Release,
# prefix /usr) into OUT_DIR/deb with `cpack -G DEB`, and the Windows zip
# (MinGW-w64) into OUT_DIR/zip with `cpack -G ZIP`. Default: all.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$(realpath -m "$1")
what=${2:-all}
jobs=$(nproc 2>/dev/null || echo 2)
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

if [ "$what" = deb ] || [ "$what" = all ]; then
    ensure_packages "${DRAVIK_BUILD_PACKAGES[@]}" dpkg-dev file
    # Installed under /usr, libraries need no search path of their own.
    cmake -S "$root" -B "$out/build-deb" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_SKIP_INSTALL_RPATH=ON -DDRAVIK_BUILD_TESTS=OFF >/dev/null
    cmake --build "$out/build-deb" -j "$jobs" >/dev/null
    (cd "$out/build-deb" && cpack -G DEB -B "$out/deb" >/dev/null)
    rm -rf "$out/deb/_CPack_Packages"
    ls "$out"/deb/*.deb
fi
if [ "$what" = zip ] || [ "$what" = all ]; then
    ensure_packages g++-mingw-w64-x86-64-posix zip
    cmake -S "$root" -B "$out/build-zip" -DCMAKE_BUILD_TYPE=Release -DDRAVIK_BUILD_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-x86_64.cmake" >/dev/null
    cmake --build "$out/build-zip" -j "$jobs" >/dev/null
    (cd "$out/build-zip" && cpack -G ZIP -B "$out/zip" >/dev/null)
    rm -rf "$out/zip/_CPack_Packages"
    ls "$out"/zip/*.zip
fi

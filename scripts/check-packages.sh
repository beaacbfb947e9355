#!/usr/bin/env bash
# check-packages.sh WORK_DIR: checks that the manual page renders without
# warnings, builds the packages (scripts/package.sh), checks the Debian ones
# with lintian (no errors), unpacks them with dpkg-deb -x into
# a root of their own (nothing is installed on this machine) and builds and
# runs tests/consumer against it; then checks that the Windows zip holds what
# a host application needs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(realpath -m "$1")
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"
ensure_packages lintian unzip man-db

echo "-- the manual page"
warnings=$(MANWIDTH=80 man --warnings -l "$root/packaging/dravik.1" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
    echo "packaging/dravik.1 renders with warnings:" >&2
    echo "$warnings" >&2
    exit 1
fi

rm -rf "$work/deb" "$work/zip" "$work/root"
"$root/scripts/package.sh" "$work" all

echo "-- lintian"
lintian --fail-on error --suppress-tags maintscript-calls-ldconfig "$work"/deb/*.deb

echo "-- unpacked into $work/root"
for deb in "$work"/deb/*.deb; do dpkg-deb -x "$deb" "$work/root"; done
"$root/scripts/check-consumer.sh" "$work/root/usr" "$work/consumer"

echo "-- the Windows zip"
zip=$(ls "$work"/zip/*.zip)
listing=$(unzip -Z1 "$zip")
missing=0
for file in bin/dravik.dll bin/VelmoraSDK.dll bin/libstdc++-6.dll bin/libgcc_s_seh-1.dll \
            bin/libwinpthread-1.dll bin/dravik.exe lib/libdravik.dll.a lib/libVelmoraSDK.dll.a \
            include/dravik/UDPServer.h include/dravik/export.h include/velmora/Logger.h \
            lib/cmake/Dravik/DravikConfig.cmake lib/pkgconfig/dravik.pc README.txt; do
    if ! grep -q -x "[^/]*/$file" <<<"$listing"; then
        echo "missing from $(basename "$zip"): $file" >&2
        missing=1
    fi
done
[ "$missing" -eq 0 ]
echo "$(basename "$zip"): $(wc -l <<<"$listing") entries, all expected files present"

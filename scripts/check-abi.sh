#!/usr/bin/env bash
# check-abi.sh BUILD_DIR: compares BUILD_DIR's libdravik.so.1 with the ABI
# baseline in abi/. A removed or changed exported function, type layout or
# virtual table fails, naming what changed; an added function passes, and so
# does a field appended to UDPServer::Counters or a private member function
# that only the library called removed (abi/suppressions.abignore).
# check-abi.sh --update BUILD_DIR: writes BUILD_DIR's library as the baseline.
# BUILD_DIR must be a build with debug information (RelWithDebInfo or Debug).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
baseline=$root/abi/libdravik.so.1.abi

update=false
if [ "${1:-}" = "--update" ]; then update=true; shift; fi
build=${1:?usage: check-abi.sh [--update] BUILD_DIR}
lib=$(readlink -f "$build/lib/libdravik.so.1")
headers=(--hd "$root/include/dravik" --hd "$build/include/dravik")

if $update; then
    abidw --no-corpus-path "${headers[@]}" --drop-private-types --out-file "$baseline" "$lib"
    echo "wrote $baseline from $lib"
    exit 0
fi

status=0
report=$(abidiff --no-added-syms --suppressions "$root/abi/suppressions.abignore" \
    --hd2 "$root/include/dravik" --hd2 "$build/include/dravik" "$baseline" "$lib") || status=$?
if [ "$status" -ne 0 ]; then
    echo "$lib breaks the ABI of libdravik.so.1 (abidiff status $status):" >&2
    echo "$report" >&2
    echo "Restore it, or raise the SONAME and renew the baseline (see docs/building.md)." >&2
    exit 1
fi
echo "the ABI of libdravik.so.1 matches the baseline (additions allowed)"

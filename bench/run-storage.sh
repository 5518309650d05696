#!/bin/sh
# Builds and runs the Maildir measurement benchmark and prints its ratios:
# counting a Maildir of 100,000 messages against du, and reading a valid
# maildirsize on a large and a small Maildir.
#   bench/run-storage.sh [build directory] [storage_bench options...]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
[ $# -gt 0 ] && shift
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target storage_bench -j1 >/dev/null
exec "$build/bench/storage_bench" "$@"

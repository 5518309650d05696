#!/bin/bash
# Builds the master.cf grammar's fuzz target with clang (libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) and runs it on a seed corpus
# of real master.cf files: Debian's stock file, the installed one and the
# hand-made seeds beside this script.
#
#   tests/fuzz/run-master-cf-fuzz.sh [libFuzzer options...]
#       e.g. -max_total_time=30 (what ctest runs), -runs=10000000
#
# KVARN_BUILD_DIR (default build/) holds the binary and the growing corpus.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${KVARN_BUILD_DIR:-$root/build}/fuzz
mkdir -p "$out/corpus"

sources=("$here/master_cf_fuzz.cpp" "$root/src/postfix/master_cf_parser.cpp"
    "$root/src/postfix/master_cf_content.cpp" "$root/src/postfix/module_info.cpp")
binary=$out/master_cf_fuzz
if [[ ! -x $binary || -n $(find "${sources[@]}" "$root/src/postfix" -newer "$binary" -name '*.[ch]*' -print -quit) ]]; then
    clang++ -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined \
        -fno-sanitize-recover=undefined -I"$root/src" "${sources[@]}" -o "$binary.tmp"
    mv "$binary.tmp" "$binary"
fi

for seed in /usr/share/postfix/master.cf.dist /etc/postfix/master.cf; do
    [[ -r $seed ]] && cp "$seed" "$out/corpus/seed-${seed//\//_}"
done

cd "$out"
exec "$binary" -max_len=8192 -timeout=10 "$@" "$out/corpus" "$here/corpus"

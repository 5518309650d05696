#!/bin/bash
# Benchmark of the mail name commands, run inside the integration sandbox (it
# re-executes itself under scripts/sandbox-run).
#
#   bench/run-mailnames.sh          (DOMAINS=10000 MAILNAMES=100000 ROUNDS=31)
#
# 1. Seeds a server with DOMAINS domains (one domain alias each) and
#    MAILNAMES mail names: panel database, lookup tables, mail
#    authentication database, domain mail directories.
# 2. Times `kvarn --add-mailname` (with a quota, as the panel runs it) and
#    `kvarn --add-mailbox` for new mail names against the postmap runs and
#    database queries they need, done bare on the same tables and databases
#    (postmap itself, and mailname_queries: a program linking only the
#    database client libraries that sends the statements kvarn sends), ROUNDS
#    rounds alternating which goes first.
# Prints the figures and the ratios (median of the rounds' ratios); exits 1
# when a ratio is above 1.25.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${KVARN_BUILD_DIR:-$root/build}
bench=$build/bench/mailname_bench
queries=$build/bench/mailname_queries
kvarn=$build/kvarn

if [[ ${KVARN_SANDBOX:-} != 1 ]]; then
    [[ -x $bench && -x $queries && -x $kvarn ]] ||
        { echo "build kvarn, mailname_bench and mailname_queries first" >&2; exit 2; }
    export KVARN_BUILD_DIR=$build
    export KVARN_SANDBOX_CACHE=${KVARN_SANDBOX_CACHE:-$build/sandbox-cache}
    exec "$root/scripts/sandbox-run" "$here/run-mailnames.sh" "$@"
fi

domains=${DOMAINS:-10000}
mailnames=${MAILNAMES:-100000}
rounds=${ROUNDS:-31}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
start=$EPOCHREALTIME
"$bench" seed "$domains" "$mailnames"
awk -v a="$start" -v b="$EPOCHREALTIME" -v d="$domains" -v m="$mailnames" \
    'BEGIN { printf "seeded %d domains and %d mail names in %.1fs\n", d, m, b - a }'
for table in virtual vmailbox virtual_domains; do
    echo "  $table: $(/usr/sbin/postmap -s "hash:/var/spool/postfix/marun/$table" | wc -l) records"
done

status=0
"$bench" measure "$kvarn" "$queries" "$rounds" || status=$?
((status == 0)) && echo "PASS" || echo "FAIL: a ratio is above 1.25"
exit $status

#!/bin/bash
# Benchmark of the mail name commands, run inside the integration sandbox (it
# re-executes itself under scripts/sandbox-run).
#
#   bench/run-mailnames.sh             (DOMAINS=10000 MAILNAMES=100000 ROUNDS=31)
#   bench/run-mailnames.sh forwarding  (the same variables)
#
# 1. Seeds a server with DOMAINS domains (one domain alias each) and
#    MAILNAMES mail names: panel database, lookup tables, mail
#    authentication database, a mail handler for the first mail name of each
#    domain, domain mail directories.
# 2. Times `kvarn --add-mailname` (with a quota, as the panel runs it) and
#    `kvarn --add-mailbox` for new mail names against the postmap runs and
#    database queries they need, done bare on the same tables and databases
#    (postmap itself, and mailname_queries: a program linking only the
#    database client libraries that sends the statements kvarn sends), ROUNDS
#    rounds alternating which goes first.
#    With "forwarding": times `kvarn --add-alias` the same way, and `kvarn
#    --add-redirect` and `kvarn --add-attachment`, which start no other
#    program; then seeds an empty server (one domain, one mail name) and
#    times them again.
# Prints the figures and the ratios (median of the rounds' ratios); exits 1
# when a ratio is above 1.25 (or, with "forwarding", a median time of the
# other two is 5 ms or more).
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
if [[ ${1:-} == forwarding ]]; then
    status=0
    for size in "$domains $mailnames" "1 1"; do
        read -r d m <<<"$size"
        "$bench" seed "$d" "$m"
        echo "== $d domains, $m mail names"
        "$bench" forwarding "$kvarn" "$queries" "$rounds" $((d / 2)) || status=1
    done
    ((status == 0)) && echo "PASS" || echo "FAIL: a ratio or a time is above its limit"
    exit $status
fi
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

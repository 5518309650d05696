#!/bin/bash
# Benchmark of the mail name commands and of --add-domain-alias, run inside
# the integration sandbox (it re-executes itself under scripts/sandbox-run).
#
#   bench/run-mailnames.sh [mailnames|domain-alias|forwarding]
#       (DOMAINS=10000 MAILNAMES=100000 HANDLERS=1000 ROUNDS=31)
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
# 3. With HANDLERS mail handler registrations added, times
#    `kvarn --add-domain-alias` of a domain with 10 mail names (each with a
#    mail alias) against the postmap run, panel queries and SQLite writes it
#    must make, done bare (mailname_queries domain-alias); the same before step 1 on
#    a server of ten such domains.
# 4. With "forwarding" alone: times `kvarn --add-alias` like step 2, and
#    `kvarn --add-redirect` and `kvarn --add-attachment`, which start no
#    other program; then seeds an empty server (one domain, one mail name)
#    and times them again (limit: a median time under 5 ms).
# "mailnames" runs step 2 alone, "domain-alias" step 3. Prints the figures and the
# ratios (median of the rounds' ratios); exits 1 when a ratio is above 1.25
# or the --add-domain-alias ratio of the full server is more than 1.1 times
# that of the small one.
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
handlers=${HANDLERS:-1000}
rounds=${ROUNDS:-31}
part=${1:-all}
status=0

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
if [[ $part == forwarding ]]; then
    for size in "$domains $mailnames" "1 1"; do
        read -r d m <<<"$size"
        "$bench" seed "$d" "$m"
        echo "== $d domains, $m mail names"
        "$bench" forwarding "$kvarn" "$queries" "$rounds" $((d / 2)) || status=1
    done
    ((status == 0)) && echo "PASS" || echo "FAIL: a ratio or a time is above its limit"
    exit $status
fi
if [[ $part != mailnames ]]; then
    # The measured domain is number 0 of ten, then number DOMAINS/2 of the
    # full server: the same ten mail names with a mail alias each.
    "$bench" seed 10 100
    "$bench" handlers 10 100 0 11
    small=$("$bench" domain-alias "$kvarn" "$queries" 10 100 0 "$rounds" small) || status=1
    echo "$small"
fi
start=$EPOCHREALTIME
"$bench" seed "$domains" "$mailnames"
awk -v a="$start" -v b="$EPOCHREALTIME" -v d="$domains" -v m="$mailnames" \
    'BEGIN { printf "seeded %d domains and %d mail names in %.1fs\n", d, m, b - a }'
for table in virtual vmailbox virtual_domains; do
    echo "  $table: $(/usr/sbin/postmap -s "hash:/var/spool/postfix/marun/$table" | wc -l) records"
done

if [[ $part != domain-alias ]]; then
    "$bench" measure "$kvarn" "$queries" "$rounds" || status=1
fi
if [[ $part != mailnames ]]; then
    "$bench" handlers "$domains" "$mailnames" $((domains / 2)) "$handlers"
    echo "  $handlers mail handler registrations"
    full=$("$bench" domain-alias "$kvarn" "$queries" "$domains" "$mailnames" $((domains / 2)) \
        "$rounds" full) || status=1
    echo "$full"
    awk -v s="$(awk '$1 == "RATIO" { print $3 }' <<<"$small")" \
        -v f="$(awk '$1 == "RATIO" { print $3 }' <<<"$full")" \
        'BEGIN { printf "RATIO --add-domain-alias full/small %.3f\n", f / s; exit !(f / s <= 1.1) }' ||
        status=1
fi
((status == 0)) && echo "PASS" || echo "FAIL: a ratio is above its limit"
exit $status

#!/bin/bash
# Benchmark of --add-domain-alias, run inside the integration sandbox (it
# re-executes itself under scripts/sandbox-run).
#
#   bench/run-domain-alias.sh     (DOMAINS=10000 MAILNAMES=100000 HANDLERS=1000 ROUNDS=31)
#
# Times `kvarn --add-domain-alias` of a domain with 10 mail names (each with
# a mail alias) against the postmap run, panel queries and SQLite writes it
# must make, done bare (mailname_bench alias), first on a server with only
# ten such domains, then on one with DOMAINS domains, MAILNAMES mail names
# and HANDLERS mail handler registrations (mailname_bench seed, handlers).
# Prints the figures and the ratios (median of the rounds' ratios); exits 1
# when a ratio is above 1.25 or the full server's ratio is more than 1.1
# times the small one's.
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
    exec "$root/scripts/sandbox-run" "$here/run-domain-alias.sh" "$@"
fi

domains=${DOMAINS:-10000}
mailnames=${MAILNAMES:-100000}
handlers=${HANDLERS:-1000}
rounds=${ROUNDS:-31}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
# The measured domain is number 0 of ten, then number 5000 of the full
# server: the same ten mail names with a mail alias each.
"$bench" seed 10 100
"$bench" handlers 10 100 0 11
"$bench" alias "$kvarn" "$queries" 10 100 0 "$rounds" small | tee /tmp/alias-small || status=1

"$bench" seed "$domains" "$mailnames"
"$bench" handlers "$domains" "$mailnames" $((domains / 2)) "$handlers"
echo "full server: $domains domains, $mailnames mail names, $handlers handler registrations"
"$bench" alias "$kvarn" "$queries" "$domains" "$mailnames" $((domains / 2)) "$rounds" full |
    tee /tmp/alias-full || status=1

small=$(awk '$1 == "RATIO" { print $3 }' /tmp/alias-small)
full=$(awk '$1 == "RATIO" { print $3 }' /tmp/alias-full)
awk -v s="$small" -v f="$full" 'BEGIN { printf "full / small ratio: %.3f\n", f / s; exit !(f / s <= 1.1) }' ||
    status=1
((status == 0)) && echo "PASS" || echo "FAIL: a ratio is above its limit"
exit $status

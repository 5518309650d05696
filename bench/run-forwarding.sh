#!/bin/bash
# Benchmark of the forwarding and attachment commands, run inside the
# integration sandbox (it re-executes itself under scripts/sandbox-run).
#
#   bench/run-forwarding.sh          (DOMAINS=10000 MAILNAMES=100000 ROUNDS=31)
#
# Twice: on a server seeded as bench/run-mailnames.sh seeds it (DOMAINS
# domains, MAILNAMES mail names, a mail handler for the first mail name of
# each domain), then on an empty one (one domain, one mail name). Each time
# it times `kvarn --add-alias` against the postmap run and statements it
# needs, done bare (postmap itself and `mailname_queries alias`), and `kvarn
# --add-redirect` and `kvarn --add-attachment`, which start no other program.
# Exits 1 when the alias ratio is above 1.25 or a median of the other two is
# 5 ms or more.
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
    exec "$root/scripts/sandbox-run" "$here/run-forwarding.sh" "$@"
fi

rounds=${ROUNDS:-31}
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
for size in "${DOMAINS:-10000} ${MAILNAMES:-100000}" "1 1"; do
    read -r domains mailnames <<<"$size"
    "$bench" seed "$domains" "$mailnames"
    echo "== $domains domains, $mailnames mail names"
    "$bench" forwarding "$kvarn" "$queries" "$rounds" $((domains / 2)) || status=1
done
((status == 0)) && echo "PASS" || echo "FAIL: a ratio or a time is above its limit"
exit $status

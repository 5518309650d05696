#!/bin/bash
# Benchmark of main.cf, master.cf and the service commands, run inside the
# integration sandbox (it re-executes itself under scripts/sandbox-run).
#
#   bench/run-postfix-config.sh     (ENTRIES=2000 ROUNDS=31 APPENDS=32)
#
# 1. Loading and storing a master.cf of ENTRIES entries through the module
#    manager, against a plain read and replace of the same bytes; limit 5 ms.
# 2. Service commands against the init-script, postconf and panel work they
#    need, done bare (Postfix running, stand-in Courier-IMAP and milter);
#    kvarn's own time must stay under 10 ms.
# 3. APPENDS concurrent appends to a main.cf list: every one must be kept.
# Exits 1 when a limit is missed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${KVARN_BUILD_DIR:-$root/build}
bench=$build/bench/postfix_config_bench
kvarn=$build/kvarn

if [[ ${KVARN_SANDBOX:-} != 1 ]]; then
    fresh=$build/tests/harness/sandbox_fresh_server
    [[ -x $bench && -x $kvarn && -x $fresh ]] ||
        { echo "build kvarn, postfix_config_bench and sandbox_fresh_server first" >&2; exit 2; }
    export KVARN_BUILD_DIR=$build
    export KVARN_SANDBOX_CACHE=${KVARN_SANDBOX_CACHE:-$build/sandbox-cache}
    # A fresh server, panel tables included.
    exec "$root/scripts/sandbox-run" "$fresh" /bin/bash "$here/run-postfix-config.sh" "$@"
fi

entries=${ENTRIES:-2000}
rounds=${ROUNDS:-31}
appends=${APPENDS:-32}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
"$bench" master-cf "$entries" "$rounds" || status=1

/etc/init.d/postfix start >/dev/null
"$bench" services "$kvarn" "$rounds" || status=1
/etc/init.d/postfix stop >/dev/null

start=$EPOCHREALTIME
"$bench" appends "$appends" || status=1
awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "  (%.1f s: each postconf read waits for main.cf to settle)\n", b - a }'

((status == 0)) && echo "PASS" || echo "FAIL: a limit is missed"
exit $status

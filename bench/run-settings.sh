#!/bin/bash
# Benchmark of the server settings commands, run inside the integration
# sandbox (it re-executes itself under scripts/sandbox-run).
#
#   bench/run-settings.sh [COMMAND]    (ROUNDS=11 CONCURRENT=32)
#
# 1. With Postfix running, stand-in Courier-IMAP files and the recording
#    init scripts: each command against the postconf, postmap, init-script
#    and crontab runs it must make, done bare (limit: ratio 1.25).
# 2. CONCURRENT concurrent --add-whitelist runs, then CONCURRENT concurrent
#    --add-badmailfrom runs: every network and every record must be kept.
# With COMMAND (e.g. --features), step 1 for that command alone.
# Exits 1 when a limit is missed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${KVARN_BUILD_DIR:-$root/build}
bench=$build/bench/settings_bench
kvarn=$build/kvarn

if [[ ${KVARN_SANDBOX:-} != 1 ]]; then
    fresh=$build/tests/harness/sandbox_fresh_server
    [[ -x $bench && -x $kvarn && -x $fresh ]] ||
        { echo "build kvarn, settings_bench and sandbox_fresh_server first" >&2; exit 2; }
    export KVARN_BUILD_DIR=$build
    export KVARN_SANDBOX_CACHE=${KVARN_SANDBOX_CACHE:-$build/sandbox-cache}
    exec "$root/scripts/sandbox-run" "$fresh" /bin/bash "$here/run-settings.sh" "$@"
fi

rounds=${ROUNDS:-11}
concurrent=${CONCURRENT:-32}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
for file in imapd imapd-ssl pop3d pop3d-ssl; do
    printf '# Courier-IMAP %s\nMAXDAEMONS=40\nPOPAUTH=1\nADDRESS=0\n' "$file" \
        >/etc/courier-imap/$file
done
: >/etc/sysconfig/oru-pc-remote
printf 'MAILTO=root\n30 4 * * * /usr/bin/true\n' | crontab -u root -
/etc/init.d/postfix start >/dev/null

status=0
"$bench" costs "$kvarn" "$rounds" "$@" || status=1
[[ $# -gt 0 ]] || "$bench" concurrent "$kvarn" "$concurrent" || status=1
/etc/init.d/postfix stop >/dev/null

((status == 0)) && echo "PASS" || echo "FAIL: a limit is missed"
exit $status

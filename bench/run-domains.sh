#!/bin/bash
# Domain removal on a busy server, run inside the integration sandbox on a
# fresh server state (it re-executes itself under scripts/sandbox-run and
# the harness's sandbox_fresh_server).
#
#   bench/run-domains.sh   (DOMAINS=5000 MAILNAMES=500000 VIRTUAL=1000000 RUNS=5)
#
# 1. Fills the lookup tables with DOMAINS served domains, MAILNAMES mail
#    names spread evenly over them (a "virtual" and a "vmailbox" record
#    each), the standard addresses, an alias domain for every tenth domain
#    with its addresses, and forwards of other domains until "virtual" holds
#    VIRTUAL records; the panel database with the same domains, aliases and
#    mail names; the mail authentication database with a user per mail name
#    and alias address; the handlers database with one registration per
#    domain; the mail trees of the domains to remove.
# 2. Runs `kvarn --remove-domain` RUNS times, each on another domain (the
#    first has an alias), as the panel does, and checks what it left.
# Prints each run's wall time beside that of the shell pipeline doing the
# same table work ("postmap -s | grep -v | postmap" on copies of the
# tables) and their ratio, and kvarn's peak resident set: its own (read at
# its exit by bench/rss_probe.c, loaded with LD_PRELOAD) and, from GNU time,
# the largest of kvarn and its postmap children. Exits 1 when the median
# ratio exceeds 0.4, kvarn's own peak reaches 16 MiB or a removal is
# incomplete.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${KVARN_BUILD_DIR:-$root/build}

if [[ ${KVARN_BENCH_FRESH_SERVER:-} != 1 ]]; then
    for program in kvarn bench/domain_bench bench/librss_probe.so tests/harness/sandbox_fresh_server; do
        [[ -e $build/$program ]] || { echo "build $program first (cmake --build build)" >&2; exit 2; }
    done
    export KVARN_BUILD_DIR=$build
    export KVARN_SANDBOX_CACHE=${KVARN_SANDBOX_CACHE:-$build/sandbox-cache}
    export KVARN_BENCH_FRESH_SERVER=1
    exec "$root/scripts/sandbox-run" "$build/tests/harness/sandbox_fresh_server" \
        /bin/bash "$here/run-domains.sh" "$@"
fi

kvarn=$build/kvarn
driver=$build/bench/domain_bench
probe=$build/bench/librss_probe.so
domains=${DOMAINS:-5000}
mailnames=${MAILNAMES:-500000}
virtual=${VIRTUAL:-1000000}
runs=${RUNS:-5}
per_domain=$((mailnames / domains))
max_ratio=0.4
max_rss_kib=$((16 * 1024))
tables=/var/spool/postfix/marun
work=$(mktemp -d /tmp/kvarn-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The domains removed: dom10 has an alias domain (every tenth has), the
# others are spread over the table and have none.
targets=(dom10.example)
for ((run = 1; run < runs; run++)); do
    targets+=("dom$(((run * domains / runs / 10 * 10 + 7) % domains)).example")
done

echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%d MiB", $2 / 1024 }' /proc/meminfo)"
echo "seeding $domains domains, $mailnames mail names ($per_domain per domain)," \
     "an alias domain for every tenth, $virtual \"virtual\" records"

awk -v d="$domains" -v m="$per_domain" -v v="$virtual" -v dir="$tables" 'BEGIN {
    split("postmaster mailer-daemon root anonymous drweb kluser", std, " ")
    for (i = 0; i < d; i++) {
        dom = "dom" i ".example"
        printf "%s %s/\n", dom, dom > (dir "/virtual_domains")
        for (s = 1; s <= 6; s++)
            printf "%s@%s %s@localhost.localdomain\n", std[s], dom, std[s] > (dir "/virtual")
        for (j = 0; j < m; j++) {
            printf "user%d@%s user%d@%s\n", j, dom, j, dom > (dir "/virtual")
            printf "user%d@%s %s/user%d/Maildir/\n", j, dom, dom, j > (dir "/vmailbox")
        }
        if (i % 10 == 0) {
            alias = "alias" i ".example"
            printf "%s 1\n", alias > (dir "/virtual")
            for (s = 1; s <= 6; s++)
                printf "%s@%s %s@localhost.localdomain\n", std[s], alias, std[s] > (dir "/virtual")
            for (j = 0; j < m; j++)
                printf "user%d@%s user%d@%s\n", j, alias, j, dom > (dir "/virtual")
        }
    }
    # Forwards of domains served elsewhere fill "virtual" up.
    for (k = d * (6 + m) + int((d + 9) / 10) * (7 + m); k < v; k++)
        printf "fwd%d@ext%d.example fwd%d@remote.example\n", k, k % 1000, k > (dir "/virtual")
}'
for table in virtual_domains virtual vmailbox; do
    /usr/sbin/postmap "hash:$tables/$table"
    rm "$tables/$table"
done

# The panel's rows, loaded over the server's socket as its root.
awk -v d="$domains" -v m="$per_domain" 'BEGIN {
    print "SET autocommit=0;"
    for (i = 0; i < d; i++) {
        printf "INSERT INTO domains (id, name) VALUES (%d, \"dom%d.example\");\n", i + 1, i
        if (i % 10 == 0)
            printf "INSERT INTO domainaliases (name, dom_id) VALUES (\"alias%d.example\", %d);\n", i, i + 1
        printf "INSERT INTO mail (mail_name, dom_id, mbox_quota) VALUES "
        for (j = 0; j < m; j++)
            printf "%s(\"user%d\", %d, -1)", (j ? ", " : ""), j, i + 1
        print ";"
    }
    print "COMMIT;"
}' | mariadb --user=root --socket=/run/mysqld/mysqld.sock oru

"$driver" seed "$domains" "$per_domain" "${targets[@]}"

count() { /usr/sbin/postmap -s "hash:$tables/$1" | wc -l; }
echo "tables: virtual_domains $(count virtual_domains), virtual $(count virtual)," \
     "vmailbox $(count vmailbox) records"
echo

now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# The table work alone, done by the shell on copies: the record removal
# from "virtual_domains", and dump, filter and rebuild of "virtual" and
# "vmailbox".
shell_removal() {
    local domain=$1 table start
    for table in virtual_domains virtual vmailbox; do
        cp "$tables/$table.db" "$work/$table.db"
    done
    start=$(now)
    /usr/sbin/postmap -d "$domain" "hash:$work/virtual_domains"
    for table in virtual vmailbox; do
        /usr/sbin/postmap -s "hash:$work/$table" | grep -vF "@$domain" >"$work/$table" || true
        /usr/sbin/postmap "hash:$work/$table"
        rm "$work/$table"
    done
    baseline=$(elapsed "$start" "$(now)")
}

status=0
worst=0
ratios=()
for domain in "${targets[@]}"; do
    before_virtual=$(count virtual)
    before_vmailbox=$(count vmailbox)
    shell_removal "$domain"
    /usr/bin/time -f "%e %M" -o "$work/time" \
        env LD_PRELOAD="$probe" KVARN_RSS_PROBE="$work/rss" \
        "$kvarn" --remove-domain --domain-name="$domain" >"$work/out" 2>&1 || {
        echo "FAIL: kvarn --remove-domain $domain:"; cat "$work/out"; status=1; continue; }
    read -r seconds total_kib <"$work/time"
    own_kib=$(sed -n 's/^self_kib=\([0-9]*\) .*/\1/p' "$work/rss")
    ((own_kib > worst)) && worst=$own_kib
    ratios+=("$(awk -v a="$seconds" -v b="$baseline" 'BEGIN { printf "%.3f", a / b }')")
    echo "remove $domain: wall ${seconds}s, the shell pipeline's table work alone ${baseline}s," \
         "ratio ${ratios[-1]}; kvarn peak RSS ${own_kib} KiB, with postmap children ${total_kib} KiB"

    # What the removal must have left: no record in the domain, the other
    # records untouched, no mail tree, no users.
    left=$( (/usr/sbin/postmap -s "hash:$tables/virtual"; /usr/sbin/postmap -s "hash:$tables/vmailbox";
             /usr/sbin/postmap -s "hash:$tables/virtual_domains") | grep -cF "$domain" || true)
    # The alias's addresses pointing into the domain go too, and its users.
    alias_records=0
    users=$("$driver" users "$domain")
    index=${domain#dom}
    index=${index%%.*}
    if ((index % 10 == 0)); then
        alias_records=$per_domain
        users=$((users + $("$driver" users "alias$index.example")))
    fi
    expected_virtual=$((before_virtual - 6 - per_domain - alias_records))
    expected_vmailbox=$((before_vmailbox - per_domain))
    after_virtual=$(count virtual)
    after_vmailbox=$(count vmailbox)
    if ((left != 0 || after_virtual != expected_virtual || after_vmailbox != expected_vmailbox ||
         users != 0)) || [[ -e /var/qmail/mailnames/$domain ]]; then
        echo "FAIL: removal of $domain incomplete: $left records mention it; virtual" \
             "$after_virtual (expected $expected_virtual), vmailbox $after_vmailbox" \
             "(expected $expected_vmailbox), users $users"
        status=1
    fi
done

median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ r[NR] = $1 } END {
    print (NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2) }')
echo
echo "kvarn --remove-domain against the shell pipeline: median ratio $median (limit $max_ratio)"
awk -v r="$median" -v m="$max_ratio" 'BEGIN { exit !(r <= m) }' || { echo "FAIL: ratio"; status=1; }
echo "kvarn --remove-domain with $domains domains and $mailnames mail names:" \
     "largest own peak RSS $worst KiB = $(awk -v a="$worst" -v b="$max_rss_kib" \
     'BEGIN { printf "%.3f", a / b }') of 16 MiB (limit 1.0)"
((worst < max_rss_kib)) || { echo "FAIL: peak RSS"; status=1; }
((status == 0)) && echo "PASS"
exit $status

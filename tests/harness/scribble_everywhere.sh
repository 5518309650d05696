#!/bin/bash
# Run inside scripts/sandbox-run by the ctest entry
# integration.sandbox_host_isolation: changes, from inside the sandbox, every
# kind of host path kvarn and its tools could touch, and checks that each
# change is visible inside. sandbox-check-host then checks from outside
# that the host saw none of it.
set -euo pipefail

expect_changed() {
    if ! eval "$1"; then
        echo "scribble_everywhere: change not visible inside the sandbox: $1" >&2
        exit 1
    fi
}

# Account files, through the shadow tools.
useradd -r -M -s /usr/sbin/nologin kvarn-scribble
expect_changed 'grep -q "^kvarn-scribble:" /etc/passwd'
chmod 0600 /etc/passwd

# Postfix configuration, tables and spool. main.cf changes last: Postfix
# tools wait for a freshly changed main.cf to settle before reading it.
echo 'a@scribbled.example b@scribbled.example' >/etc/postfix/scribble
postmap hash:/etc/postfix/scribble
rm -f /etc/postfix/master.cf
expect_changed '[[ ! -e /etc/postfix/master.cf && -e /etc/postfix/scribble.db ]]'
echo 'x@y z@w' >/var/spool/postfix/marun/virtual
postmap hash:/var/spool/postfix/marun/virtual
rm -rf /var/spool/postfix/active /var/spool/postfix/pid
mkdir -p /var/spool/postfix/scribble
postconf -e 'myhostname = scribbled.example' 'virtual_alias_maps = hash:/etc/postfix/scribble'
expect_changed 'grep -q "^myhostname = scribbled.example" /etc/postfix/main.cf'

# Init scripts, kvarn's directories, cron, host name.
rm -f /etc/init.d/postfix
echo '#!/bin/sh' >/etc/init.d/scribble
for d in /etc/oru /etc/domainkeys /etc/oru-spf /etc/sysconfig /etc/courier-imap \
    /var/qmail/mailnames /var/lib/marun /var/lock/files /usr/local/oru /var/lib/postfix; do
    mkdir -p "$d/scribble"
    echo scribble >"$d/scribble/file"
done
echo scribble >/etc/oru/.oru.shadow
echo '0 0 * * * /bin/true # scribble' | crontab -
expect_changed 'crontab -l | grep -q scribble'
hostname scribbled.example
echo scribbled.example >/etc/hostname
echo '127.0.0.9 scribbled.example' >>/etc/hosts
touch /etc/mailname /etc/aliases

# The host's own files are visible read-only, never writable, and so is
# whatever is not overlaid.
for f in "$KVARN_SANDBOX_HOST_ROOT/etc/postfix/scribble" /kvarn-scribble; do
    if touch "$f" 2>/dev/null; then
        echo "scribble_everywhere: $f is writable from inside" >&2
        exit 1
    fi
done
echo "scribble_everywhere: all changes made inside the sandbox"

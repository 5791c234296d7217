#!/bin/sh
# The Debian package on this machine, as root: it installs, its unit passes
# systemd's checks, the installed service runs as the user logserver (with
# the capability its unit gives it, since there is no systemd here) and
# writes what logsend and logger send, leaves its conffile untouched, and
# the package removes and purges cleanly. Ends only processes it started.
set -eu
deb=${1:?usage: package_test.sh logserver_VERSION_ARCH.deb}

fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
  limit=$(( $1 * 10 )); shift
  i=0
  until "$@" >/dev/null 2>&1; do
    i=$((i + 1))
    [ "$i" -le "$limit" ] || return 1
    sleep 0.1
  done
}

if command -v lintian >/dev/null 2>&1; then
  lintian --fail-on error "$deb" || fail "lintian reports errors"
else
  echo "lintian is not installed: package checks skipped"
fi

dpkg -i "$deb" || fail "dpkg -i"
getent passwd logserver >/dev/null || fail "no user logserver"
[ "$(stat -c %U /var/log/logserver)" = logserver ] || fail "/var/log/logserver is not the user's"
[ -L /usr/lib/logserver/LogServer.conf ] || fail "no link to the configuration"
for page in LogServer.8 LogServer.conf.5 logsend.1 logserver-archive.8 logserver-retention.8; do
  [ -f "/usr/share/man/man${page##*.}/$page.gz" ] || fail "no man page $page"
done
for example in single-host tls-relay stream-collector archive-writer; do
  ls /usr/share/doc/logserver/examples/$example.conf* >/dev/null 2>&1 || fail "no example $example.conf"
done
[ -f /usr/share/logserver/grafana/logserver.json ] || fail "no Grafana dashboard"
# The configuration is root's, readable by the service and nobody else.
[ "$(stat -c '%U:%G %a' /etc/logserver)" = "root:root 755" ] || fail "/etc/logserver: $(stat -c '%U:%G %a' /etc/logserver)"
[ "$(stat -c '%U:%G %a' /etc/logserver/LogServer.conf)" = "root:logserver 640" ] ||
  fail "LogServer.conf: $(stat -c '%U:%G %a' /etc/logserver/LogServer.conf)"
out=$(setpriv --reuid logserver --regid logserver --init-groups /usr/lib/logserver/LogServer --check-config) ||
  fail "--check-config on the shipped file: $out"

# The postinst follows no link the service user could have planted: as an
# earlier version left it, /etc/logserver is writable by the user, who puts
# a link to a root-only file in place of the configuration.
secret=$(mktemp)
echo "root only" > "$secret"
chmod 0600 "$secret"
chgrp logserver /etc/logserver && chmod 2775 /etc/logserver
setpriv --reuid logserver --regid logserver --init-groups \
  sh -c 'mv /etc/logserver/LogServer.conf /etc/logserver/kept && ln -s "$1" /etc/logserver/LogServer.conf' sh "$secret" ||
  fail "planting the link"
/var/lib/dpkg/info/logserver.postinst configure 2>/dev/null || fail "postinst configure"
/var/lib/dpkg/info/logserver.postinst configure 2>/dev/null || fail "postinst configure, twice"
[ "$(stat -c '%U:%G %a' "$secret")" = "root:root 600" ] || fail "the postinst changed the link's target: $(stat -c '%U:%G %a' "$secret")"
[ "$(stat -c '%U:%G %a' /etc/logserver)" = "root:root 755" ] || fail "/etc/logserver was not taken back"
rm /etc/logserver/LogServer.conf "$secret"
mv /etc/logserver/kept /etc/logserver/LogServer.conf
/var/lib/dpkg/info/logserver.postinst configure || fail "postinst configure, restored"

unit=/lib/systemd/system/logserver.service
if command -v systemd-analyze >/dev/null 2>&1; then
  systemd-analyze verify "$unit" /lib/systemd/system/logserver-retention.service \
    /lib/systemd/system/logserver-archive.service \
    /lib/systemd/system/logserver-retention.timer || fail "systemd-analyze verify"
  exposure=$(systemd-analyze security --offline=yes "$unit" 2>/dev/null |
    sed -n 's/.*Overall exposure level for logserver.service: \([0-9.]*\).*/\1/p')
  echo "exposure of logserver.service: $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "exposure $exposure is above 2.0"
else
  echo "systemd-analyze is not installed: unit checks skipped"
fi

conf=/etc/logserver/LogServer.conf
before=$(md5sum < "$conf")
run=$(mktemp -d)
setpriv --reuid logserver --regid logserver --init-groups \
  --inh-caps +net_bind_service --ambient-caps +net_bind_service \
  /usr/lib/logserver/LogServer > "$run/out" 2> "$run/err" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$run"' EXIT
wait_for 10 grep -q "syslog UDP port 514 listening, syslog TCP port 514 listening" "$run/err" ||
  { cat "$run/err"; fail "not serving"; }
logsend 127.0.0.1 30000 pkgtest core "" "sent by logsend" || fail "logsend"
logger -n 127.0.0.1 -P 514 -d --rfc3164 -t pkgtest "sent by logger" || fail "logger"
wait_for 10 grep -rq "sent by logsend" /var/log/logserver/127.0.0.1/pkgtest/ || fail "no logsend line"
logger -T -n 127.0.0.1 -P 514 --rfc3164 -t pkgtest "sent over TCP" || fail "logger -T"
wait_for 10 grep -rq "sent by logger" /var/log/logserver/127.0.0.1/SYSLOG/ || fail "no logger line"
wait_for 10 grep -rq "sent over TCP" /var/log/logserver/127.0.0.1/SYSLOG/ || fail "no logger -T line"
# The shipped configuration serves /metrics on loopback.
if command -v python3 >/dev/null 2>&1; then
  python3 -c 'import urllib.request, sys
body = urllib.request.urlopen("http://127.0.0.1:9469/metrics", timeout=5).read().decode()
sys.exit(0 if "logserver_written_lines_total 3" in body else 1)' || fail "/metrics does not count the three lines"
fi
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status"
grep -qx 'Process MainThread "SHUTDOWN" ...OK' "$run/out" || fail "no SHUTDOWN line"
[ "$(md5sum < "$conf")" = "$before" ] || fail "the conffile was rewritten"
[ -z "$(dpkg --verify logserver)" ] || { dpkg --verify logserver; fail "dpkg --verify"; }

# The retention job, as its unit runs it, on the installed tree.
setpriv --reuid logserver --regid logserver --init-groups /usr/lib/logserver/logserver-retention > "$run/retention" ||
  fail "logserver-retention: $(cat "$run/retention")"

dpkg -r logserver || fail "dpkg -r"
[ -d /var/log/logserver/127.0.0.1 ] || fail "removal took the logs"
dpkg -P logserver || fail "dpkg -P"
# The user stays with the files it owns; a reinstall finds both.
getent passwd logserver >/dev/null || fail "purge removed the user, whose files remain"
[ ! -e /etc/logserver ] || fail "purge left /etc/logserver"
[ -d /var/log/logserver/127.0.0.1 ] || fail "purge took the logs"
dpkg -i "$deb" >/dev/null || fail "reinstall"
[ "$(stat -c %U /var/log/logserver/127.0.0.1)" = logserver ] || fail "the kept tree is not the user's after a reinstall"
dpkg -P logserver >/dev/null || fail "second purge"
rm -rf /var/log/logserver
deluser --system --quiet logserver >/dev/null 2>&1 || true
echo "package test passed"

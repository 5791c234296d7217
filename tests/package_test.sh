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

dpkg -i "$deb" || fail "dpkg -i"
getent passwd logserver >/dev/null || fail "no user logserver"
[ "$(stat -c %U /var/log/logserver)" = logserver ] || fail "/var/log/logserver is not the user's"
[ -L /usr/lib/logserver/LogServer.conf ] || fail "no link to the configuration"
for page in LogServer.8 LogServer.conf.5 logsend.1; do
  [ -f "/usr/share/man/man${page##*.}/$page.gz" ] || fail "no man page $page"
done

unit=/lib/systemd/system/logserver.service
if command -v systemd-analyze >/dev/null 2>&1; then
  systemd-analyze verify "$unit" /lib/systemd/system/logserver-retention.service \
    /lib/systemd/system/logserver-retention.timer || fail "systemd-analyze verify"
  exposure=$(systemd-analyze security --offline=yes "$unit" 2>/dev/null |
    sed -n 's/.*Overall exposure level for logserver.service: \([0-9.]*\).*/\1/p')
  echo "exposure of logserver.service: $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.0) }' || fail "exposure $exposure is above 3.0"
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
wait_for 10 grep -q "syslog UDP port 514 listening" "$run/err" || { cat "$run/err"; fail "not serving"; }
logsend 127.0.0.1 30000 pkgtest core "" "sent by logsend" || fail "logsend"
logger -n 127.0.0.1 -P 514 -d --rfc3164 -t pkgtest "sent by logger" || fail "logger"
wait_for 10 grep -rq "sent by logsend" /var/log/logserver/127.0.0.1/pkgtest/ || fail "no logsend line"
wait_for 10 grep -rq "sent by logger" /var/log/logserver/127.0.0.1/SYSLOG/ || fail "no logger line"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status"
grep -qx 'Process MainThread "SHUTDOWN" ...OK' "$run/out" || fail "no SHUTDOWN line"
[ "$(md5sum < "$conf")" = "$before" ] || fail "the conffile was rewritten"
[ -z "$(dpkg --verify logserver)" ] || { dpkg --verify logserver; fail "dpkg --verify"; }

dpkg -r logserver || fail "dpkg -r"
[ -d /var/log/logserver/127.0.0.1 ] || fail "removal took the logs"
dpkg -P logserver || fail "dpkg -P"
! getent passwd logserver >/dev/null || fail "purge left the user"
[ ! -e /etc/logserver ] || fail "purge left /etc/logserver"
[ -d /var/log/logserver/127.0.0.1 ] || fail "purge took the logs"
rm -rf /var/log/logserver
echo "package test passed"

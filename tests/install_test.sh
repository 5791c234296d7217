#!/bin/sh
# make install DESTDIR=... lays out the files README.md describes, keeps an
# edited configuration (and moves one an earlier version kept beside the
# executable), and gives units that systemd accepts.
set -eu
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
confdir=$(sed -n 's/^LOGSERVER_CONFIG_DIR:STRING=//p' "$build/CMakeCache.txt")
unitdir=$(sed -n 's/^LOGSERVER_UNIT_DIR:STRING=//p' "$build/CMakeCache.txt")
root=$dest$prefix
DESTDIR=$dest cmake --install "$build" >/dev/null

fail() { echo "FAIL: $*"; exit 1; }
for f in lib/logserver/LogServer lib/logserver/logserver-retention lib/logserver/logserver-archive \
         lib/logserver/providers/forward.so \
         bin/logsend include/logserver/provider.h share/man/man8/LogServer.8 \
         share/man/man8/logserver-archive.8 share/man/man8/logserver-retention.8 \
         share/man/man5/LogServer.conf.5 share/man/man1/logsend.1 \
         share/doc/logserver/examples/single-host.conf share/doc/logserver/examples/tls-relay.conf \
         share/doc/logserver/examples/stream-collector.conf share/doc/logserver/examples/archive-writer.conf; do
  [ -f "$root/$f" ] || fail "missing $prefix/$f"
done
for f in logserver.service logserver-retention.service logserver-archive.service logserver-retention.timer; do
  [ -f "$dest$unitdir/$f" ] || fail "missing $unitdir/$f"
done
[ -x "$root/lib/logserver/LogServer" ] || fail "LogServer is not executable"

conf=$dest$confdir/LogServer.conf
[ -f "$conf" ] || fail "missing $confdir/LogServer.conf"
[ "$(readlink "$root/lib/logserver/LogServer.conf")" = "$confdir/LogServer.conf" ] ||
  fail "LogServer.conf beside the executable is not a link to $confdir/LogServer.conf"
grep -qx "RunMode=0" "$conf" || fail "RunMode"
grep -qx "BaseCatalog=/var/log/logserver/" "$conf" || fail "BaseCatalog"
# As shipped, the configuration is read as written: nothing to report (but
# that a user other than root may not write /var/log, which is true).
status=0
out=$("$root/lib/logserver/LogServer" --check-config="$conf") || status=$?
if [ "$(id -u)" != 0 ]; then
  out=$(printf '%s\n' "$out" | grep -v "BaseCatalog=/var/log/logserver/ cannot take" || true)
  [ -n "$out" ] || status=0
fi
[ "$status" = 0 ] || fail "--check-config: $out"
[ -z "$out" ] || fail "--check-config on the shipped file: $out"
dashboard=$root/share/logserver/grafana/logserver.json
[ -f "$dashboard" ] || fail "missing the Grafana dashboard"
# Every query of the dashboard parses as PromQL (Grafana's variables set).
if command -v promtool >/dev/null 2>&1; then
  { echo "groups:"; echo "  - name: dashboard"; echo "    rules:"
    python3 -c 'import json, sys
for p in json.load(open(sys.argv[1]))["panels"]:
    for t in p["targets"]:
        print("      - record: dashboard:query_%d_%s" % (p["id"], t["refId"]))
        print("        expr: " + json.dumps(t["expr"].replace("$__rate_interval", "1m").replace("$instance", ".*")))' \
      "$dashboard"; } > "$dest/rules.yml"
  promtool check rules "$dest/rules.yml" >/dev/null || fail "dashboard queries: $(promtool check rules "$dest/rules.yml" 2>&1)"
fi

unit=$dest$unitdir/logserver.service
grep -qx "ExecStart=$prefix/lib/logserver/LogServer" "$unit" || fail "ExecStart"
for line in Type=notify WatchdogSec=30 Restart=on-failure User=logserver NoNewPrivileges=yes ProtectSystem=strict \
            "ReadWritePaths=/var/log/logserver" AmbientCapabilities=CAP_NET_BIND_SERVICE \
            UMask=0027; do
  grep -qx "$line" "$unit" || fail "$line"
done
grep -q "^LimitNOFILE=" "$unit" || fail "LimitNOFILE"

echo "; edited by the operator" >> "$conf"
DESTDIR=$dest cmake --install "$build" >/dev/null
grep -qx "; edited by the operator" "$conf" || fail "a second install replaced the configuration"

# A configuration an earlier version installed beside the executable moves.
rm "$conf" "$root/lib/logserver/LogServer.conf"
echo "; kept beside the executable" > "$root/lib/logserver/LogServer.conf"
DESTDIR=$dest cmake --install "$build" >/dev/null
grep -qx "; kept beside the executable" "$conf" || fail "the old configuration did not move"
[ -L "$root/lib/logserver/LogServer.conf" ] || fail "no link after the move"

if command -v systemd-analyze >/dev/null 2>&1 && [ -f /lib/systemd/system/sysinit.target ]; then
  for f in logserver.service logserver-retention.service logserver-archive.service; do
    sed "s|^ExecStart=$prefix|ExecStart=$root|" "$dest$unitdir/$f" > "$dest/$f"
  done
  cp "$dest$unitdir/logserver-retention.timer" "$dest/"
  # The man pages are not installed on this machine: not looked for.
  systemd-analyze verify --man=no "$dest/logserver.service" "$dest/logserver-retention.service" \
    "$dest/logserver-archive.service" \
    "$dest/logserver-retention.timer" || fail "systemd-analyze verify"
else
  echo "systemd-analyze verify skipped: no systemd units on this machine"
fi

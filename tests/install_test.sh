#!/bin/sh
# make install DESTDIR=... lays out the files README.md describes, keeps an
# edited configuration, and gives a unit that systemd accepts.
set -eu
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
root=$dest$prefix
DESTDIR=$dest cmake --install "$build" >/dev/null

fail() { echo "FAIL: $*"; exit 1; }
for f in lib/logserver/LogServer lib/logserver/LogServer.conf lib/logserver/providers/forward.so \
         bin/logsend include/logserver/provider.h lib/systemd/system/logserver.service; do
  [ -f "$root/$f" ] || fail "missing $prefix/$f"
done
[ -x "$root/lib/logserver/LogServer" ] || fail "LogServer is not executable"

unit=$root/lib/systemd/system/logserver.service
grep -qx "ExecStart=$prefix/lib/logserver/LogServer" "$unit" || fail "ExecStart"
grep -qx "Type=simple" "$unit" || fail "Type"
grep -qx "Restart=on-failure" "$unit" || fail "Restart"
grep -q "^LimitNOFILE=" "$unit" || fail "LimitNOFILE"
conf=$root/lib/logserver/LogServer.conf
grep -qx "RunMode=0" "$conf" || fail "RunMode"
grep -qx "BaseCatalog=/var/log/logserver/" "$conf" || fail "BaseCatalog"

echo "; edited by the operator" >> "$conf"
DESTDIR=$dest cmake --install "$build" >/dev/null
grep -qx "; edited by the operator" "$conf" || fail "a second install replaced the configuration"

if command -v systemd-analyze >/dev/null 2>&1 && [ -f /lib/systemd/system/sysinit.target ]; then
  sed "s|^ExecStart=.*|ExecStart=$root/lib/logserver/LogServer|" "$unit" > "$dest/logserver.service"
  systemd-analyze verify "$dest/logserver.service" || fail "systemd-analyze verify"
else
  echo "systemd-analyze verify skipped: no systemd units on this machine"
fi

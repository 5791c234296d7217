#!/bin/sh
# logserver-retention on a made-up tree with set modification times: it
# compresses what was not written for two hours, deletes what is older than
# the kept days and the old empty directories, and touches nothing outside
# the tree or behind a link.
set -eu
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
base=$work/logs
outside=$work/outside
fail() { echo "FAIL: $*"; exit 1; }
age() { touch -h -d "$1" "$2"; }  # age WHEN PATH

day=$base/10.1.2.3/app/mod/2026_12_01
mkdir -p "$day" "$outside" "$base/10.1.2.3/app/gone/2026_10_01"
printf 'line one\r\nline two\r\n' > "$day/m_10.log"; age '3 hours ago' "$day/m_10.log"
printf 'being written\r\n' > "$day/m_11.log"; age '30 minutes ago' "$day/m_11.log"
printf 'old\r\n' > "$day/m_01.log"; age '40 days ago' "$day/m_01.log"
printf 'old and packed\r\n' > "$day/m_02.log.gz"; age '40 days ago' "$day/m_02.log.gz"
printf 'not a log\n' > "$day/notes.txt"; age '40 days ago' "$day/notes.txt"
printf 'outside\r\n' > "$outside/far.log"; age '40 days ago' "$outside/far.log"
ln -s "$outside/far.log" "$day/link.log"; age '40 days ago' "$day/link.log"
ln -s "$outside" "$base/10.1.2.3/linked"
age '40 days ago' "$base/10.1.2.3/app/gone/2026_10_01"
age '40 days ago' "$base/10.1.2.3/app/gone"

LOGSERVER_COMPRESS_AFTER_HOURS=2 LOGSERVER_KEEP_DAYS=30 sh "$script" "$base" || fail "exit status"

if command -v zstd >/dev/null 2>&1; then packed=$day/m_10.log.zst; show="zstd -dc"; else packed=$day/m_10.log.gz; show="gzip -dc"; fi
[ -f "$packed" ] || fail "m_10.log was not compressed to $packed"
[ ! -e "$day/m_10.log" ] || fail "m_10.log was left beside its compressed copy"
[ "$($show "$packed")" = "$(printf 'line one\r\nline two\r\n')" ] || fail "the compressed file reads back wrong"
[ -f "$day/m_11.log" ] || fail "the file being written was touched"
[ ! -e "$day/m_01.log" ] || fail "an old file was kept"
[ ! -e "$day/m_02.log.gz" ] || fail "an old compressed file was kept"
[ -f "$day/notes.txt" ] || fail "a file that is no log was deleted"
[ -L "$day/link.log" ] || fail "the link was removed"
[ -f "$outside/far.log" ] && [ "$(cat "$outside/far.log")" = "$(printf 'outside\r')" ] || fail "outside the tree was touched"
[ ! -e "$outside/far.log.zst" ] && [ ! -e "$outside/far.log.gz" ] || fail "a link was followed"
[ ! -e "$base/10.1.2.3/app/gone" ] || fail "old empty directories were kept"
[ -d "$base" ] || fail "the log directory itself went"

# Bad settings are refused without touching anything.
if LOGSERVER_KEEP_DAYS=soon sh "$script" "$base" 2>/dev/null; then fail "a bad setting was taken"; fi
echo "retention test passed"

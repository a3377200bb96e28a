#!/usr/bin/env bash
# `make dist` in a tree of its own: it refuses placeholder endpoints or
# server list and a missing key (naming the setting), names the endpoints and
# the key's fingerprint it built in, takes the settings of each run (none
# given: the defaults, never an earlier run's), survives a refused setting,
# and puts the fetch tool beside the zip. launcher-feed reads the real
# release's records: it takes the keyed one and refuses the keyless one.
# dist_test.sh ROOT [TOOL BUILD]: TOOL and BUILD (the loopback build with its
# keyed launcher) for the launcher-feed checks.
set -u
root=$1 tool=${2:-} build=${3:-}
src=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$root"
site=https://127.0.0.1:18443/
mirrors='https://127.0.0.1:18082/wow335/;https://127.0.0.2:18082/wow335/;https://127.0.0.3:18008/wow335/'
list=$root/serverlist.txt
printf 'Loopback|https://127.0.0.1/|127.0.0.1:3724|127.0.0.1:3724|test\n' >"$list"
key=$src/tests/data/keys/test.pub
fp=$(openssl pkey -pubin -in "$key" -outform DER | sha256sum | cut -c1-64)
fail=0
dist() { env "$@" RP_BUILD_ROOT="$root" "$src/scripts/dist" >"$root/out" 2>&1; }
expect() {  # expect NAME COMMAND...
  if ! "${@:2}"; then fail=1; echo "FAILED: $1"; cat "$root/out"; fi
}
refused() {  # refused NAME SETTING...: the last run failed naming each SETTING
  local name=$1 s; shift
  expect "$name: refused" test "$rc" != 0
  for s in "$@"; do expect "$name: names $s" grep -q "$s" "$root/out"; done
}

dist; rc=$?
refused "placeholders" "REALMPORTER_SITE_URL (" "REALMPORTER_MIRRORS (" "REALMPORTER_SERVER_LIST ("
dist REALMPORTER_SITE_URL=$site REALMPORTER_MIRRORS="$mirrors"; rc=$?
refused "the placeholder list" "REALMPORTER_SERVER_LIST ("
expect "the given endpoints not named" bash -c "! grep -q 'REALMPORTER_SITE_URL (' '$root/out'"
dist REALMPORTER_SITE_URL=$site REALMPORTER_MIRRORS="$mirrors" REALMPORTER_SERVER_LIST="$list"; rc=$?
refused "no key" "REALMPORTER_OPERATOR_KEY is not set" REALMPORTER_UNSIGNED=1

dist REALMPORTER_SITE_URL=$site REALMPORTER_MIRRORS="$mirrors" REALMPORTER_SERVER_LIST="$list" \
  REALMPORTER_OPERATOR_KEY="$key" REALMPORTER_VERSION=2.3.4
expect "site printed" grep -qxF "site:       $site" "$root/out"
expect "version printed" grep -qxF "version:    2.3.4" "$root/out"
expect "mirrors printed" grep -qxF "mirrors:    ${mirrors//;/ }" "$root/out"
expect "the list printed" grep -qxF "server list: $list" "$root/out"
expect "the key's fingerprint printed" grep -qxF "operator key: sha256 $fp" "$root/out"
expect "fetch tool beside the zip" test -s "$root/dist/realmporter-fetch.exe"
expect "fetch tool not in the zip" bash -c "! unzip -l '$root/dist/RealmPorter.zip' | grep -q realmporter-fetch"
expect "the list built in" grep -qaF "Loopback|https://127.0.0.1/|127.0.0.1:3724" "$root/dist/RealmPorter/RealmPorter.exe"
cp "$root/dist/RealmPorter/RealmPorter.exe" "$root/keyed.exe"
if [ -n "$tool" ]; then
  expect "launcher-feed takes the keyed release" "$tool" launcher-feed --version 2.3.4 --url "${site}launcher/a-2.3.4.exe" \
    --previous "$build/RealmPorter-keyed.exe" --out "$root/feed.json" "$root/keyed.exe"
fi
expect "a bad setting refused" bash -c "! REALMPORTER_MIRRORS=https://a.example/wow335/ RP_BUILD_ROOT='$root' \
  '$src/scripts/dist' >'$root/out' 2>&1 && grep -q REALMPORTER_MIRRORS '$root/out'"

# Without a key when asked for in words; the version back at its default.
dist REALMPORTER_SITE_URL=https://127.0.0.9/ REALMPORTER_MIRRORS="$mirrors" REALMPORTER_SERVER_LIST="$list" \
  REALMPORTER_UNSIGNED=1
expect "the default version after a bad run" grep -qxF "version:    1.0.0" "$root/out"
expect "no key said in words" grep -qx "operator key: NONE.*can never update itself." "$root/out"
expect "the earlier site is gone" bash -c "! grep -qaF '$site' '$root/dist/RealmPorter/RealmPorter.exe'"
if [ -n "$tool" ]; then
  expect "launcher-feed refuses the keyless release" bash -c "! '$tool' launcher-feed --version 1.0.0 \
    --url https://127.0.0.9/launcher/a-1.0.0.exe --previous '$root/keyed.exe' --change-endpoints-or-key \
    --out '$root/feed.json' '$root/dist/RealmPorter/RealmPorter.exe' >'$root/out' 2>&1 &&
    grep -q 'built without an operator key' '$root/out'"
fi
[ "$fail" = 0 ] && echo "dist: ok"

#!/usr/bin/env bash
# `make dist` in a tree of its own: it names the endpoints it built in, takes
# the settings of each run (none given: the defaults, never an earlier run's),
# survives a refused setting, and puts the fetch tool beside the zip.
set -u
root=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$root"
site=https://127.0.0.1:18443/
mirrors='https://127.0.0.1:18082/wow335/;https://127.0.0.2:18082/wow335/;https://127.0.0.3:18008/wow335/'
fail=0
dist() { env "$@" RP_BUILD_ROOT="$root" "$src/scripts/dist" >"$root/out" 2>&1; }
expect() {  # expect NAME COMMAND...
  if ! "${@:2}"; then fail=1; echo "FAILED: $1"; cat "$root/out"; fi
}

dist REALMPORTER_SITE_URL=$site REALMPORTER_MIRRORS="$mirrors" REALMPORTER_VERSION=2.3.4
expect "site printed" grep -qxF "site:       $site" "$root/out"
expect "version printed" grep -qxF "version:    2.3.4" "$root/out"
expect "mirrors printed" grep -qxF "mirrors:    ${mirrors//;/ }" "$root/out"
expect "fetch tool beside the zip" test -s "$root/dist/realmporter-fetch.exe"
expect "fetch tool not in the zip" bash -c "! unzip -l '$root/dist/RealmPorter.zip' | grep -q realmporter-fetch"
expect "a bad setting refused" bash -c "! REALMPORTER_MIRRORS=https://a.example/wow335/ RP_BUILD_ROOT='$root' \
  '$src/scripts/dist' >'$root/out' 2>&1 && grep -q REALMPORTER_MIRRORS '$root/out'"
dist
expect "defaults after a bad run" grep -qxF "site:       https://www.realmporter.example/" "$root/out"
expect "the default version after a bad run" grep -qxF "version:    1.0.0" "$root/out"
expect "the loopback site is gone" bash -c "! grep -qaF '$site' '$root/dist/RealmPorter/RealmPorter.exe'"
[ "$fail" = 0 ] && echo "dist: ok"

#!/usr/bin/env bash
# Check, repair and update of an installed client as an operator runs them:
# realmporter-fetch --verify and --repair against the three loopback mirrors,
# over a client with damaged, older, missing and extra files; the plain
# fetch over an older client; and the keyed tool refusing an unsigned
# manifest before it touches anything.
set -u
tool=$1 wineenv=$2 build=$3
work=$(mktemp -d)
www="$build/www"
product=repair-client
mirrors=(https://127.0.0.1:18082 https://127.0.0.2:18082 https://127.0.0.3:18008)
clear_faults() { for m in "${mirrors[@]}"; do curl -sk "$m/__clear" >/dev/null; done; }
trap 'clear_faults; rm -rf "$work" "$www"/m{1,2,3}/wow335/$product "$www"/m{1,2,3}/wow335/$product.json' EXIT
fail() { cat "$work/out" 2>/dev/null; echo "FAILED: $1"; exit 1; }

# publish SRC: the client, its block maps and its manifest on every mirror
publish() {
  "$tool" build --product $product --install-root Client --display-name Repair \
    --mirror https://127.0.0.1:18082/wow335/ --mirror https://127.0.0.2:18082/wow335/ \
    --mirror https://127.0.0.3:18008/wow335/ --out "$work/$product.json" "$1" >/dev/null || exit 1
  rm -rf "$work/blocks" && "$tool" blocks "$1" "$work/blocks" >/dev/null || exit 1
  for m in m1 m2 m3; do
    rm -rf "$www/$m/wow335/$product" && mkdir -p "$www/$m/wow335/$product"
    cp -r "$1" "$www/$m/wow335/$product/files"
    cp -r "$work/blocks" "$www/$m/wow335/$product/blocks"
    cp "$work/$product.json" "$www/$m/wow335/"
  done
}
# fetch ARGS...: realmporter-fetch.exe into $work/out, exit code in $rc
fetch() {
  for m in "${mirrors[@]}"; do curl -sk "$m/__clearlog" >/dev/null; done
  "$wineenv" run "$build" "$build/realmporter-fetch.exe" "$@" >"$work/out" 2>&1
  rc=$?
}
wire() {  # the requests the last run made for PATH's bytes, as "<range or ->" lines
  for m in "${mirrors[@]}"; do curl -sk "$m/__requests"; done | grep -F "/$product/files/$1 " | awk '{print $3}'
}
maps() {  # maps PATH [MIRROR...]: the requests the last run made for PATH's map
  local path=$1
  shift
  for m in "${@:-${mirrors[@]}}"; do curl -sk "$m/__requests"; done |
    grep -F "/$product/blocks/$path.blocks " | awk '{print $3}'
}
spot() {  # spot FILE OFFSET: 4 KiB of other bytes at OFFSET
  head -c 4096 /dev/urandom | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

v1="$work/v1" v2="$work/v2"
mkdir -p "$v1/Data/zhCN"
head -c 3000000 /dev/urandom >"$v1/Data/common.MPQ"
# 2048 blocks: eight regions of the map.
head -c 8388608 /dev/urandom >"$v1/Data/zhCN/locale.MPQ"
head -c 100000 /dev/urandom >"$v1/Data/old.MPQ"
printf 'MZ game v1' >"$v1/Wow.exe"
printf 'realmlist' >"$v1/realmlist.wtf"
printf 'set realmlist template' >"$v1/Data/zhCN/realmlist.wtf"
# Version 2: two spots of the big archive changed, a new Wow.exe, one archive
# added and one dropped.
cp -r "$v1" "$v2"
rm "$v2/Data/old.MPQ"
spot "$v2/Data/common.MPQ" 1000000
spot "$v2/Data/common.MPQ" 2500000
printf 'MZ game v2, longer' >"$v2/Wow.exe"
head -c 50000 /dev/urandom >"$v2/Data/new.MPQ"

publish "$v1"
save="$work/save"
mkdir -p "$save"
winsave="Z:${save//\//\\}"
fetch $product "$winsave"
[ $rc = 0 ] || fail "first download"
client="$save/Client"
# The player's own files beside the client, and a file the player put in
# Data that no manifest lists; the realm file as the launcher rewrote it,
# and an old Wow.exe and archive the player keeps under .bak names.
mkdir -p "$client/WTF" "$client/Interface/AddOns/Mine" "$client/Screenshots"
printf 'set realmlist 10.0.0.1' >"$client/Data/zhCN/realmlist.wtf"
printf 'MZ the players old game' >"$client/Wow.exe.bak"
printf 'switched off' >"$client/Data/common.MPQ.bak"
printf 'SET realmName "x"' >"$client/WTF/Config.wtf"
printf 'print(1)' >"$client/Interface/AddOns/Mine/Mine.lua"
printf 'jpeg' >"$client/Screenshots/a.jpg"
printf 'players archive' >"$client/Data/patch-z.MPQ"
cp -r "$client" "$work/players-view"

publish "$v2"
# Damage on top of the old version: a spot in the locale archive and a
# deleted file.
spot "$client/Data/zhCN/locale.MPQ" 40960
rm "$client/realmlist.wtf"
fetch --verify $product "$winsave"
[ $rc = 1 ] || fail "verify of a client that is not whole: exit $rc"
# Older: Wow.exe and the archive of v1 as the launcher left them; damaged:
# the archive both versions share; missing: the deleted file and the new one.
grep -q '^found: 6 files checked, 1 fine, 1 damaged, 2 older, 2 missing' "$work/out" || fail "verify counts"
grep -q 'zhCN/realmlist.wtf' "$work/out" && fail "the player's realm file is reported"
grep -q '^  damaged: Data/zhCN/locale.MPQ' "$work/out" || fail "the damaged archive is named"
grep -q '^  older: Data/common.MPQ' "$work/out" || fail "the older archive is named"
cmp -s "$v1/Data/common.MPQ" "$client/Data/common.MPQ" || fail "verify changed a file"

# The repair runs on all three mirrors at once, and they fail it: the new
# archive is missing on the manifest's first mirror, the second answers
# every file and map with a server error, and the third breaks off the new
# archive after 20000 bytes. The first gives the rest, the third the new
# archive's other bytes.
rm "$www/m1/wow335/$product/files/Data/new.MPQ"
curl -sk "${mirrors[1]}/__fault?path=/wow335/$product/*&kind=status&arg=500" >/dev/null
curl -sk "${mirrors[2]}/__fault?path=/wow335/$product/files/Data/new.MPQ&kind=drop&arg=20000&times=1" >/dev/null
fetch --repair $product "$winsave"
[ $rc = 0 ] || fail "repair: exit $rc"
# The broken-off archive went on from its 20000th byte on every mirror it
# tried next, and was asked for whole only once.
[ "$(wire Data/new.MPQ | sort -u | tr '\n' ' ')" = "- bytes=20000- " ] &&
  [ "$(wire Data/new.MPQ | grep -cx -- -)" = 1 ] || fail "the new archive was not resumed: $(wire Data/new.MPQ)"
grep -q '^after repair: 6 files checked, 6 fine' "$work/out" || fail "repair's second check"
for f in Wow.exe realmlist.wtf Data/common.MPQ Data/zhCN/locale.MPQ Data/new.MPQ; do
  cmp -s "$v2/$f" "$client/$f" || fail "repaired $f differs"
done
[ -e "$client/Data/old.MPQ" ] && fail "the obsolete archive is still there"
for f in WTF/Config.wtf Interface/AddOns/Mine/Mine.lua Screenshots/a.jpg Data/patch-z.MPQ Data/zhCN/realmlist.wtf \
  Wow.exe.bak Data/common.MPQ.bak; do
  cmp -s "$work/players-view/$f" "$client/$f" || fail "the player's $f was touched"
done
# The big archives came by blocks: ranged requests only, far below their size.
for f in Data/common.MPQ Data/zhCN/locale.MPQ; do
  wire "$f" | grep -qx -- - && fail "$f was fetched whole"
  [ -n "$(wire "$f")" ] || fail "$f was not fetched"
done
# Of the damaged archive's map only the region around the spot came from
# the mirrors that answer: one ranged request for its 256 entries.
answering=("${mirrors[0]}" "${mirrors[2]}")
[ "$(maps Data/zhCN/locale.MPQ "${answering[@]}" | sort -u)" = "bytes=64-3135" ] ||
  fail "the map of the damaged archive: $(maps Data/zhCN/locale.MPQ "${answering[@]}" | tr '\n' ' ')"
fetched=$(sed -n 's/^fetched: \([0-9]*\) bytes.*/\1/p' "$work/out")
[ -n "$fetched" ] && [ "$fetched" -lt 500000 ] || fail "repair fetched $fetched bytes"
[ -z "$(find "$client" -name '*.RealmPorter-*')" ] || fail "a temporary file was left: $(find "$client" -name '*.RealmPorter-*')"
clear_faults

# The plain fetch over a client of the earlier manifest updates it by blocks.
publish "$v1"
rm -rf "$save" && mkdir -p "$save"
fetch $product "$winsave"
[ $rc = 0 ] || fail "download of v1"
publish "$v2"
# A mirror that publishes maps without region indexes: a damaged spot is
# repaired with the whole map, as the update goes.
find "$www"/m{1,2,3}/wow335/$product/blocks -name '*.regions' -delete
spot "$client/Data/zhCN/locale.MPQ" 4096000
# The player deleted the progress record, as the README allows: the files
# on disk tell an older client all the same, and it is updated, not
# downloaded over in place. Which archive the launcher put there no one can
# tell now: the dropped one stays, named.
rm -rf "$save/.ravelgap"
fetch $product "$winsave"
[ $rc = 0 ] || fail "update to v2: exit $rc"
diff -r -x old.MPQ "$v2" "$client" >/dev/null || fail "updated client differs"
[ "$(maps Data/zhCN/locale.MPQ)" = "-" ] || fail "without an index: $(maps Data/zhCN/locale.MPQ | tr '\n' ' ')"
wire Data/common.MPQ | grep -qx -- - && fail "the update fetched the archive whole"
cmp -s "$v1/Data/old.MPQ" "$client/Data/old.MPQ" || fail "the update without a record removed an archive"
grep -q '^kept, not listed: Data/old.MPQ' "$work/out" || fail "the kept archive is not named"

# A keyed launcher refuses to repair from an unsigned manifest, before it
# touches any file.
spot "$client/Data/common.MPQ" 4096
cp "$client/Data/common.MPQ" "$work/damaged"
"$wineenv" run "$build" "$build/realmporter-fetch-keyed.exe" --repair $product "$winsave" >"$work/out" 2>&1
rc=$?
[ $rc != 0 ] && grep -q '客户端清单签名无效' "$work/out" || fail "keyed repair from an unsigned manifest: exit $rc"
cmp -s "$work/damaged" "$client/Data/common.MPQ" || fail "the refused repair touched a file"
echo "repair end to end: ok"

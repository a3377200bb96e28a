#!/usr/bin/env bash
# Signed content end to end: the operator's tool signs with the test key, and
# the launcher's code built with the test key's public half (the keyed
# realmporter-fetch and rp_win_signed_content_test) takes only what it signed,
# only for the product it asked for, and nothing older than what it took.
set -u
tool=$1 wineenv=$2 build=$3 keys=$4
work=$(mktemp -d)
www="$build/www"
product=signed-client
trap 'rm -rf "$work" "$www"/m{1,2,3}/wow335/$product* "$www"/site/signed.zip* "$www"/site/serverlist-signed.txt* "$www"/site/pack.zip* "$www"/site/launcher' EXIT
pass=0 fail=0
ok() { pass=$((pass + 1)); }
bad() { fail=$((fail + 1)); echo "FAILED: $1"; cat "$work/out" 2>/dev/null; }
mirrors="https://127.0.0.1:18082 https://127.0.0.2:18082 https://127.0.0.3:18008"

src="$work/client"
mkdir -p "$src/Data"
printf 'MZ signed game' >"$src/Wow.exe"
head -c 200000 /dev/urandom >"$src/Data/common.MPQ"
# manifest PRODUCT CREATED OUT: a manifest of $src on the three mirrors, signed
# with the test key. A mirror that offers another manifest serves the fetch
# no file, so each mirror must be able to serve them all.
manifest() {
  "$tool" build --product "$1" --install-root Signed --display-name Signed --mirror https://127.0.0.1:18082/wow335/ \
    --mirror https://127.0.0.2:18082/wow335/ --mirror https://127.0.0.3:18008/wow335/ \
    --created-at "$2" --out "$work/$3" "$src" >/dev/null && "$tool" sign --key "$keys/test.key" "$work/$3" >/dev/null
}
manifest $product 2026-06-01T00:00:00Z $product.json || exit 1
for m in m1 m2 m3; do
  mkdir -p "$www/$m/wow335/$product"
  rm -rf "$www/$m/wow335/$product/files"
  cp -r "$src" "$www/$m/wow335/$product/files"
done
cp "$work/$product.json" "$work/good.json"
"$tool" sign --key "$keys/test.key" "$work/good.json" >/dev/null || exit 1
manifest $product 2026-05-01T00:00:00Z older.json || exit 1
manifest $product 2026-06-01T08:00:00+08:00 equal.json || exit 1  # the same moment, written otherwise
manifest $product 2026-07-01T00:00:00Z newer.json || exit 1
manifest signed-other 2026-07-01T00:00:00Z other-product.json || exit 1
cp "$work/good.json" "$work/other.json"
"$tool" sign --key "$keys/other.key" "$work/other.json" >/dev/null || exit 1
# The log's folder is made by the launcher's start-up, which realmporter-fetch does not run.
appdata=$(ls -d "$build"/wineprefix/drive_c/users/*/AppData/Local | grep -v /Public/ | head -1)
mkdir -p "$appdata/RealmPorter"
log="$appdata/RealmPorter/launcher.log"

# serve MIRROR DOC SIG: the manifest and its .sig on a mirror (MIRROR "all":
# on the three, SIG "-": none)
serve() {
  local m
  for m in $([ "$1" = all ] && echo m1 m2 m3 || echo "$1"); do
    cp "$work/$2" "$www/$m/wow335/$product.json"
    rm -f "$www/$m/wow335/$product.json.sig"
    [ "$3" = - ] || cp "$work/$3" "$www/$m/wow335/$product.json.sig"
  done
}
# fetch EXE: a fresh save folder, the fetch's output in $work/out, its exit code in $rc
fetch() {
  rm -rf "$work/save" && mkdir -p "$work/save"
  : >"$log"
  "$wineenv" run "$build" "$build/$1" $product "Z:${work//\//\\}\\save" >"$work/out" 2>&1
  rc=$?
}
offer() { serve "$@"; fetch realmporter-fetch-keyed.exe; }  # offer MIRROR DOC SIG: served, then the keyed fetch
remembered() {  # the newest created_at the keyed fetches have taken for $product
  "$wineenv" run "$build" reg query 'HKCU\Software\RealmPorter' /v ManifestCreatedAt-$product 2>/dev/null |
    tr -d '\r' | awk '$1 == "ManifestCreatedAt-'$product'" { print $3 }'
}
forget() { "$wineenv" run "$build" reg delete 'HKCU\Software\RealmPorter' /v ManifestCreatedAt-$product /f >/dev/null 2>&1; }
forget
logged() { grep -q "FetchClientManifest $1" "$log"; }
# stopped TEXT LOGGED: the keyed fetch failed with TEXT before creating anything, logging LOGGED
stopped() { [ $rc != 0 ] && grep -q "$1" "$work/out" && [ -z "$(ls -A "$work/save")" ] && logged "$2"; }
refused() {  # refused NAME: the signature refused on every mirror
  if stopped '客户端清单签名无效' "signature invalid: https://127.0.0.3:18008/wow335/$product.json"; then ok; else bad "$1"; fi
}
# second NAME FIRST: the first mirror's manifest refused with FIRST, the second's taken
second() {
  if [ $rc = 0 ] && logged "$2: https://127.0.0.1:18082/wow335/$product.json" &&
    logged "ok: $product files=2 from https://127.0.0.2:18082/wow335/$product.json"; then ok; else bad "$1"; fi
}

offer all good.json good.json.sig
if [ $rc = 0 ] && cmp -s "$src/Data/common.MPQ" "$work/save/Signed/Data/common.MPQ"; then ok; else bad "good signature"; fi

offer all good.json other.json.sig
refused "another key's signature"

offer all good.json -
refused "no signature"
for m in $mirrors; do curl -sk "$m/__clearlog" >/dev/null; done
serve m1 older.json older.json.sig  # the unkeyed fetch neither checks nor remembers
fetch realmporter-fetch.exe
n=0
for m in $mirrors; do n=$((n + $(curl -sk "$m/__requests" | grep -c '\.sig'))); done
if [ $rc = 0 ] && [ $n = 0 ]; then ok; else bad "the unkeyed fetch takes an unsigned manifest and asks for no .sig"; fi
if [ "$(remembered)" = 2026-06-01T00:00:00Z ]; then ok; else bad "the unkeyed fetch remembers nothing: $(remembered)"; fi

sed 's/"max_total_connections": 3/"max_total_connections": 9/' "$work/good.json" >"$work/changed.json"
cmp -s "$work/good.json" "$work/changed.json" && { echo "the manifest was not changed"; exit 1; }
offer all changed.json good.json.sig
refused "manifest changed after signing"

serve m1 changed.json good.json.sig
offer m2 good.json good.json.sig
second "bad first mirror, good second" "signature invalid"

# Another product's signed manifest served under this product's name.
offer all other-product.json other-product.json.sig
if stopped '客户端清单签名无效' "product mismatch: https://127.0.0.3:18008/wow335/$product.json names signed-other" &&
  [ "$(remembered)" = 2026-06-01T00:00:00Z ]; then ok; else bad "another product's manifest"; fi

# Older than what was taken: refused on every mirror; the same moment is taken.
offer all older.json older.json.sig
if stopped '镜像服务器上的客户端清单比已用过的旧' \
  "older manifest: https://127.0.0.3:18008/wow335/$product.json created 2026-05-01T00:00:00Z"; then ok; else bad "an older manifest after a newer one"; fi
offer m2 equal.json equal.json.sig
second "older first mirror, equal second" "older manifest"
offer m1 newer.json newer.json.sig
if [ $rc = 0 ] && [ "$(remembered)" = 2026-07-01T00:00:00Z ]; then ok; else bad "a newer one is remembered"; fi
offer all good.json good.json.sig
if [ $rc != 0 ] && grep -q '镜像服务器上的客户端清单比已用过的旧' "$work/out"; then ok; else bad "what was newest before is now older"; fi
forget

# The pack and the server list, signed here and checked by the keyed test program.
python3 - "$www/site/signed.zip" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("Interface/AddOns/Signed/Signed.toc", "## Title: Signed\n")
PY
printf 'signed|https://s.example/|s:1|s:1|\n' >"$www/site/serverlist-signed.txt"
"$tool" sign --key "$keys/test.key" "$www/site/signed.zip" "$www/site/serverlist-signed.txt" >/dev/null || exit 1
cp "$www/site/signed.zip" "$work/o.zip"
"$tool" sign --key "$keys/other.key" "$work/o.zip" >/dev/null && cp "$work/o.zip.sig" "$www/site/signed.zip.other.sig"
# Launcher feeds, one folder a case: good/ offers the 9.9.9 test launcher.
# feed CASE EXE VERSION KEY [SED]: the feed of EXE, changed by SED before it
# is signed with KEY ("-": not signed).
feed() {
  local dir="$www/site/launcher/$1"
  mkdir -p "$dir" && cp "$2" "$dir/RealmPorter.exe" &&
    "$tool" launcher-feed --version "$3" --url "https://127.0.0.1:18443/launcher/$1/RealmPorter.exe" --previous "$this" \
      --notes 'test' --out "$dir/latest.json" "$2" >/dev/null || return 1
  [ -z "${5:-}" ] || sed -i "$5" "$dir/latest.json"
  [ "$4" = - ] || "$tool" sign --key "$keys/$4" "$dir/latest.json" >/dev/null
}
rm -rf "$www/site/launcher"
next="$build/RealmPorter-keyed-next.exe" this="$build/RealmPorter-keyed.exe"
version=$(grep -o '"[0-9.]*"' "$build/generated/version.cpp" | tr -d '"')
feed good "$next" 9.9.9 test.key || exit 1
feed unsigned "$next" 9.9.9 - || exit 1
feed tampered "$next" 9.9.9 test.key && sed -i 's/"test"/"evil"/' "$www/site/launcher/tampered/latest.json" || exit 1
feed other-key "$next" 9.9.9 other.key || exit 1
feed equal "$this" "$version" test.key || exit 1
feed lower "$this" "$version" test.key 's/"version": "[0-9.]*"/"version": "0.0.0"/' || exit 1
feed hash "$next" 9.9.9 test.key 's/"sha256": "[0-9a-f]*"/"sha256": "'"$(printf '0%.0s' {1..64})"'"/' || exit 1
grep -q '"0.0.0"' "$www/site/launcher/lower/latest.json" && grep -q '"0000' "$www/site/launcher/hash/latest.json" ||
  { echo "the feeds were not changed"; exit 1; }
if "$wineenv" run "$build" "$build/rp_win_signed_content_test.exe" >"$work/out" 2>&1; then ok; else bad "keyed pack, server list and launcher feed"; fi

# The README's launcher release, its commands as written, against the
# loopback site: the release players run now published first, then the
# README's feed (read --live from it), signature and publish of 9.9.9.
rm -rf "$www/site/launcher"
( cd "$work" && "$tool" launcher-feed --version "$version" --first-release --out now.json \
    --url "https://127.0.0.1:18443/launcher/RealmPorter-$version.exe" "$this" &&
  "$tool" sign --key "$keys/test.key" now.json &&
  "$tool" launcher-publish --site https://127.0.0.1:18443/ --to "$www/site" --pub "$keys/test.pub" --insecure \
    now.json "$this" ) >"$work/out" 2>&1 && ok || bad "the running release published"
python3 - "$(dirname "$0")/../../README.md" >"$work/readme.sh" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
section = text.split("### Publishing a launcher release", 1)[1].split("\n### ", 1)[0]
for block in re.findall(r"```sh\n(.*?)```", section, re.S):
    for line in re.sub(r"\\\n\s*", "", re.sub(r"^ {3}", "", block, flags=re.M)).splitlines():
        if line.strip():
            print(line.strip())
PY
sed -i -e 's|^realmporter-manifest |"$tool" |' -e 's|https://www.example.org/|https://127.0.0.1:18443/|g' \
  -e 's|/srv/www|"$www/site"|' -e 's|operator\.key|"$keys/test.key"|' -e 's|operator\.pub|"$keys/test.pub" --insecure|' \
  -e 's|--live https://127.0.0.1:18443/|& --insecure|' -e 's|1\.1\.0|9.9.9|g' \
  -e 's|build/dist/RealmPorter/RealmPorter.exe|"$next"|' "$work/readme.sh"
if [ "$(grep -c '^"$tool" launcher-' "$work/readme.sh")" = 2 ] &&
   (cd "$work" && tool=$tool www=$www keys=$keys next=$next bash -e readme.sh) >"$work/out" 2>&1 &&
   grep -qF 'launcher/RealmPorter-9.9.9.exe:' "$work/out" && grep -q '"share": 10,' "$www/site/launcher/latest.json"; then
  ok
else
  cat "$work/readme.sh" >>"$work/out"; bad "the README's launcher release"
fi

echo "signed content: $pass passed, $fail failed"
[ "$fail" = 0 ]

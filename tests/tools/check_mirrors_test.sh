#!/usr/bin/env bash
# realmporter-manifest check-mirrors against three loopback mirrors: what one
# mirror lacks, what another serves damaged, an older manifest on the third,
# and a mirror that ignores byte ranges are each named; all good exits 0.
# With the operator's public key, a missing, stale or other key's .sig is named.
# Block maps missing or made for another version are named; the launcher's
# own mirrors (from its exe or a list) are asked for the live manifest, named
# older, newer or of another product. check-site reads the site as a keyed
# launcher does.
set -u
tool=$1
here=$(dirname "$0")
keys="$here/../data/keys"
work=$(mktemp -d)
trap 'kill $(cat "$work/pid" 2>/dev/null) 2>/dev/null; rm -rf "$work"' EXIT
pass=0 fail=0
expect() {  # expect NAME RC PATTERN... -- COMMAND...: exit code RC and every pattern in the output
  local name=$1 rc=$2 patterns=(); shift 2
  while [ "$1" != -- ]; do patterns+=("$1"); shift; done; shift
  "$@" >"$work/out" 2>&1
  local got=$? ok=1
  [ "$got" = "$rc" ] || ok=0
  for p in "${patterns[@]}"; do grep -qF -- "$p" "$work/out" || ok=0; done
  if [ $ok = 1 ]; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAILED: $name (exit $got)"; cat "$work/out"; fi
}

python3 "$here/../../tools/testserver.py" certs "$work/certs"
port=$((20000 + RANDOM % 20000))
m=(https://127.0.0.1:$port/wow335/ https://127.0.0.2:$port/wow335/ https://127.0.0.3:$port/wow335/)
c="$work/client"
mkdir -p "$c/Data"
head -c 200000 /dev/urandom >"$c/Data/common.MPQ"
head -c 1100000 /dev/urandom >"$c/Data/big.MPQ"
printf 'MZ game' >"$c/Wow.exe"
: >"$c/empty.txt"
build() { "$tool" build --product cm --install-root Client --display-name CM --created-at "$1" \
  --mirror "${m[0]}" --mirror "${m[1]}" --mirror "${m[2]}" --out "$2" "$c"; }
build 2026-01-01T00:00:00Z "$work/old.json" 2>/dev/null
printf 'MZ game 2' >"$c/Wow.exe"
build 2026-02-01T00:00:00Z "$work/cm.json" 2>/dev/null
"$tool" sign --key "$keys/test.key" "$work/old.json" "$work/cm.json" >/dev/null
cp "$work/cm.json" "$work/other.json"
"$tool" sign --key "$keys/other.key" "$work/other.json" >/dev/null
for i in 1 2 3; do
  mkdir -p "$work/m$i/wow335/cm"
  cp -r "$c" "$work/m$i/wow335/cm/files"
  "$tool" blocks "$c" "$work/m$i/wow335/cm/blocks" >/dev/null
  cp "$work/cm.json" "$work/cm.json.sig" "$work/m$i/wow335/"
done
python3 "$here/../../tools/testserver.py" serve --cert "$work/certs/server.pem" --key "$work/certs/server.key" \
  --listen "https:127.0.0.1:$port:$work/m1" --listen "https:127.0.0.2:$port:$work/m2" \
  --listen "https:127.0.0.3:$port:$work/m3" --pidfile "$work/pid" >/dev/null &
for _ in $(seq 50); do curl -sk "https://127.0.0.3:$port/__requests" >/dev/null && break; sleep 0.1; done
ck=("$tool" check-mirrors "$work/cm.json")

expect "all good" 0 "${m[0]}: ok in cm.json and 4 files, SHA-256 checked, 1 block map(s)" \
  "3 mirror(s): all as the manifest says" -- "${ck[@]}" --deep --insecure
if grep -q "SHA-256 of the files not checked" "$work/out"; then fail=$((fail + 1)) && echo "FAILED: deep, said not"; fi
expect "unchecked parts said" 0 "SHA-256 of the files not checked: no --deep given" \
  "the launcher's own mirrors not checked: no --launcher or --mirror-list given" -- "${ck[@]}" --insecure

# The launcher's own list: one base serves a newer manifest, another one of
# another product; the exe's built-in list is read from its bytes.
mkdir -p "$work/l1" "$work/l2"
cp "$work/old.json" "$work/l1/cm.json"
build 2026-03-01T00:00:00Z "$work/l2/cm.json" 2>/dev/null
printf '%s\n' "${m[0]}" "https://127.0.0.1:$port/l1/" "https://127.0.0.1:$port/l2/" >"$work/list"
ln -s "$work/l1" "$work/m1/l1"; ln -s "$work/l2" "$work/m1/l2"
expect "the launcher's mirrors: older and newer named" 1 "launcher's mirror ${m[0]}: ok in cm.json" \
  "launcher's mirror https://127.0.0.1:$port/l1/ cm.json: an older manifest (" \
  "launcher's mirror https://127.0.0.1:$port/l2/ cm.json: a newer manifest (" \
  "warning: $work/cm.json is older than the one served" -- "${ck[@]}" --mirror-list "$work/list" --insecure
sed 's/"product": "cm"/"product": "xx"/' "$work/cm.json" >"$work/l1/cm.json"
printf 'MZ\0\0https://127.0.0.1:%s/l1/wow335/\0https://127.0.0.1:%s/site/serverlist.txt\0' "$port" "$port" >"$work/fake.exe"
mkdir -p "$work/l1/wow335" && cp "$work/l1/cm.json" "$work/l1/wow335/"
expect "the exe's list; another product named" 1 \
  "launcher's mirror https://127.0.0.1:$port/l1/wow335/ cm.json: a manifest of another product, xx" -- \
  "${ck[@]}" --launcher "$work/fake.exe" --insecure

# A map missing on one mirror, one made for the file's earlier version on another.
rm "$work/m1/wow335/cm/blocks/Data/big.MPQ.blocks"
head -c 1100000 /dev/urandom >"$work/earlier.MPQ"
mkdir -p "$work/earlier/Data" && mv "$work/earlier.MPQ" "$work/earlier/Data/big.MPQ"
"$tool" blocks "$work/earlier" "$work/m2/wow335/cm/blocks" >/dev/null
echo x >>"$work/m3/wow335/cm/blocks/Data/big.MPQ.regions"
expect "maps checked" 1 "${m[0]} Data/big.MPQ: block map missing (HTTP 404)" \
  "${m[1]} Data/big.MPQ: block map made for another version of the file" \
  "${m[2]} Data/big.MPQ: region index not made from the served block map" -- "${ck[@]}" --insecure
for i in 1 2 3; do "$tool" blocks "$c" "$work/m$i/wow335/cm/blocks" >/dev/null; done

# The site: a signed server list, the background, the feed and its exe.
site="$work/m1/site"
mkdir -p "$site/images" "$site/launcher"
echo 'realm|http://x/|127.0.0.1:3724|127.0.0.1:3724|' >"$site/serverlist.txt"
printf '\x89PNG\r\n\x1a\n' >"$site/images/wowbg.jpg"
printf 'MZ launcher' >"$site/launcher/RealmPorter.exe"
printf '{\n  "version": "1.2.0",\n  "size": 11,\n  "sha256": "%s",\n  "url": "https://127.0.0.1:%s/site/launcher/RealmPorter.exe",\n  "notes": ""\n}\n' \
  "$(sha256sum <"$site/launcher/RealmPorter.exe" | cut -c1-64)" "$port" >"$site/launcher/latest.json"
"$tool" sign --key "$keys/test.key" "$site/serverlist.txt" "$site/launcher/latest.json" >/dev/null
cs=("$tool" check-site --launcher "$work/fake.exe" --insecure)
expect "the site as a keyed launcher reads it" 0 "serverlist.txt: 1 realm(s)" "1.2.0, exe as the feed says" \
  "https://127.0.0.1:$port/site/: ok" -- "${cs[@]}" --pub "$keys/test.pub"
echo 'realm2|http://x/|127.0.0.1:3725|127.0.0.1:3725|' >>"$site/serverlist.txt"
printf 'MZ launcheR' >"$site/launcher/RealmPorter.exe"
echo jpeg >"$site/images/wowbg.jpg"
expect "an unsigned edit, an exe not the feed's and no image named" 1 \
  "serverlist.txt.sig: does not match the document" "is 11 bytes, SHA-256" \
  "images/wowbg.jpg: not a JPEG, PNG or WebP image" "3 problem(s)" -- "${cs[@]}" --pub "$keys/test.pub"
expect "unsigned check says so" 1 "signatures not checked: no --pub given" -- "${cs[@]}"
expect "signatures checked and good" 0 "${m[2]}: ok in cm.json with its signature and 4 files" \
  "3 mirror(s): all as the manifest says" -- "${ck[@]}" --pub "$keys/test.pub" --insecure
if grep -q "signatures not checked" "$work/out"; then fail=$((fail + 1)) && echo "FAILED: checked, said not"; fi
expect "unasked, the output says signatures were not checked" 0 "signatures not checked: no --pub given" -- \
  "${ck[@]}" --insecure
rm "$work/m1/wow335/cm.json.sig"
cp "$work/old.json.sig" "$work/m2/wow335/cm.json.sig"  # signed an earlier document
cp "$work/other.json.sig" "$work/m3/wow335/cm.json.sig"
expect "a missing, stale or other key's signature is a problem" 1 \
  "${m[0]} cm.json.sig: missing (HTTP 404)" \
  "${m[1]} cm.json.sig: does not match the document (stale" \
  "${m[2]} cm.json.sig: signed with another key" "3 mirror(s): 3 problem(s)" -- \
  "${ck[@]}" --pub "$keys/test.pub" --insecure
expect "a public key that is not one" 1 "is not a readable P-256 public key" -- \
  "${ck[@]}" --pub "$work/cm.json" --insecure
for i in 1 2 3; do cp "$work/cm.json.sig" "$work/m$i/wow335/"; done

expect "the test CA is trusted only when given, and the name must match" 1 "no answer: " "unreachable" -- \
  "${ck[@]}" --cacert "$work/certs/ca.pem"

rm "$work/m1/wow335/cm/files/Wow.exe"
printf 'MZ gamf 2' >"$work/m2/wow335/cm/files/Wow.exe"  # same size, other bytes
head -c 100000 /dev/urandom >"$work/m2/wow335/cm/files/Data/common.MPQ"
cp "$work/old.json" "$work/m3/wow335/cm.json"
curl -sk "https://127.0.0.3:$port/__fault?path=/wow335/cm/files/Data/common*&kind=norange" >/dev/null
expect "each problem named" 1 \
  "${m[0]} Wow.exe: missing (HTTP 404)" \
  "${m[1]} Wow.exe: SHA-256 differs" \
  "${m[1]} Data/common.MPQ: size 100000, manifest 200000" \
  "${m[2]} cm.json: an older manifest (" "created 2026-01-01T00:00:00Z" \
  "${m[2]} Data/common.MPQ: a ranged request answered 200, not 206" \
  "${m[0]}: 1 problem(s)" "${m[1]}: 2 problem(s)" "${m[2]}: 2 problem(s)" "3 mirror(s): 5 problem(s)" -- \
  "${ck[@]}" --deep --insecure
expect "without --deep a same-size damage goes unseen" 1 "3 mirror(s): 4 problem(s)" -- "${ck[@]}" --insecure
expect "usage" 2 "usage:" -- "$tool" check-mirrors

echo "check-mirrors: $pass passed, $fail failed"
[ "$fail" = 0 ]

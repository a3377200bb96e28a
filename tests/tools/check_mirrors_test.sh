#!/usr/bin/env bash
# realmporter-manifest check-mirrors against three loopback mirrors: what one
# mirror lacks, what another serves damaged, an older manifest on the third,
# and a mirror that ignores byte ranges are each named; all good exits 0.
# With the operator's public key, a missing, stale or other key's .sig is named.
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
  cp "$work/cm.json" "$work/cm.json.sig" "$work/m$i/wow335/"
done
python3 "$here/../../tools/testserver.py" serve --cert "$work/certs/server.pem" --key "$work/certs/server.key" \
  --listen "https:127.0.0.1:$port:$work/m1" --listen "https:127.0.0.2:$port:$work/m2" \
  --listen "https:127.0.0.3:$port:$work/m3" --pidfile "$work/pid" >/dev/null &
for _ in $(seq 50); do curl -sk "https://127.0.0.3:$port/__requests" >/dev/null && break; sleep 0.1; done
ck=("$tool" check-mirrors "$work/cm.json")

expect "all good" 0 "${m[0]}: ok in cm.json and 3 files, SHA-256 checked" "3 mirror(s): all as the manifest says" -- \
  "${ck[@]}" --deep --insecure
expect "signatures checked and good" 0 "${m[2]}: ok in cm.json with its signature and 3 files" \
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
curl -sk "https://127.0.0.3:$port/__fault?path=/wow335/cm/files/Data/*&kind=norange" >/dev/null
expect "each problem named" 1 \
  "${m[0]} Wow.exe: missing (HTTP 404)" \
  "${m[1]} Wow.exe: SHA-256 differs" \
  "${m[1]} Data/common.MPQ: size 100000, manifest 200000" \
  "${m[2]} cm.json: another manifest (" "created 2026-01-01T00:00:00Z" \
  "${m[2]} Data/common.MPQ: a ranged request answered 200, not 206" \
  "${m[0]}: 1 problem(s)" "${m[1]}: 2 problem(s)" "${m[2]}: 2 problem(s)" "3 mirror(s): 5 problem(s)" -- \
  "${ck[@]}" --deep --insecure
expect "without --deep a same-size damage goes unseen" 1 "3 mirror(s): 4 problem(s)" -- "${ck[@]}" --insecure
expect "usage" 2 "usage:" -- "$tool" check-mirrors

echo "check-mirrors: $pass passed, $fail failed"
[ "$fail" = 0 ]

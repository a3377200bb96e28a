#!/usr/bin/env bash
# The operator's manifest tool end to end: build, id, canonical, verify, and
# the refusals that keep broken manifests off the players' machines.
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pass=0 fail=0
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@" >"$work/out" 2>&1; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAILED: $name"; cat "$work/out"; fi
}
refuses() {  # refuses NAME PATTERN COMMAND...
  local name=$1 pattern=$2; shift 2
  if "$@" >"$work/out" 2>&1; then fail=$((fail + 1)); echo "FAILED (accepted): $name"; return; fi
  if grep -q -- "$pattern" "$work/out"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAILED (message): $name"; cat "$work/out"; fi
}

c="$work/client"
mkdir -p "$c/Data/zhCN" "$c/Interface/插件"
printf 'MZ' >"$c/Wow.exe"
head -c 300000 /dev/urandom >"$c/Data/zhCN/patch-zhCN-5.MPQ"
: >"$c/Data/empty.txt"
printf 'x' >"$c/Interface/插件/说明 文件.txt"
args=(--product wow335-hd --install-root '[HD]Wow3.3.5a' --display-name '高清客户端' --mirror https://127.0.0.1:18082/wow335/ --created-at 2026-01-01T00:00:00Z)

check "build" "$tool" build "${args[@]}" --out "$work/m.json" "$c"
check "id matches manifest_id" bash -c "grep -q \"\\\"manifest_id\\\": \\\"\$('$tool' id '$work/m.json')\\\"\" '$work/m.json'"
check "build is stable" bash -c "'$tool' build ${args[*]@Q} '$c' | cmp - '$work/m.json'"
check "files in byte order" bash -c "grep -o '\"path\": \"[^\"]*\"' '$work/m.json' | sort -c"
check "canonical has no blanks outside values" bash -c "'$tool' canonical '$work/m.json' | grep -q '^{\"created_at\":\"2026-01-01T00:00:00Z\",\"display_name\"'"
check "verify ok" "$tool" verify "$work/m.json" "$c"
printf 'changed' >>"$c/Wow.exe"
refuses "verify sees a changed file" "size differs: Wow.exe" "$tool" verify "$work/m.json" "$c"
rm "$c/Data/empty.txt"
refuses "verify sees a missing file" "missing: Data/empty.txt" "$tool" verify "$work/m.json" "$c"
sed -E 's/"manifest_id": "[0-9a-f]+"/"manifest_id": "deadbeefdeadbeefdeadbeefdeadbeefdeadbeefdeadbeefdeadbeefdeadbeef"/' "$work/m.json" >"$work/wrong.json"
refuses "verify sees a wrong identity" "identity: declared" "$tool" verify "$work/wrong.json" "$c"
grep -v created_at "$work/m.json" >"$work/nocreated.json"
refuses "id needs every identity key" "not a manifest the launcher accepts" "$tool" id "$work/nocreated.json"

touch "$c/bad\"name"
refuses "double quote refused" 'bad"name' "$tool" build "${args[@]}" "$c"
rm "$c/bad\"name"; touch "$c/back\\slash"
refuses "backslash refused" 'back\\slash' "$tool" build "${args[@]}" "$c"
rm "$c/back\\slash"; mkdir -p "$c/a..b"; touch "$c/a..b/x"
refuses "dot-dot refused" "a..b/x" "$tool" build "${args[@]}" "$c"
rm -r "$c/a..b"; touch "$c/x}y"
refuses "brace refused" "x}y" "$tool" build "${args[@]}" "$c"
rm "$c/x}y"; touch "$c/wow.EXE"
refuses "names one file on Windows" "wow.EXE: on Windows it is the same file as Wow.exe" "$tool" build "${args[@]}" "$c"
rm "$c/wow.EXE"
refuses "product checked" "--product" "$tool" build --product 'a/b' --install-root r --display-name d --mirror http://x/ "$c"
refuses "install root of dots" "--install-root" "$tool" build --product p --install-root '. .' --display-name d \
  --mirror http://x/ "$c"
refuses "product of dots" "--product" "$tool" build --product '..' --install-root r --display-name d --mirror http://x/ "$c"
refuses "mirror needed" "needs" "$tool" build --product p --install-root r --display-name d "$c"
check "help" "$tool" build --help

# Block maps: only files of 1 MiB or more, 12 bytes per 4 KiB block plus 96.
mkdir -p "$work/big/Data/zhCN"
head -c 1048576 /dev/zero >"$work/big/Data/zhCN/p 5.MPQ"
head -c 1048575 /dev/zero >"$work/big/small.bin"
check "blocks" "$tool" blocks "$work/big" "$work/maps"
check "a map and a region index per large file" test "$(find "$work/maps" -type f | sort | tr '\n' '|')" = \
  "$work/maps/Data/zhCN/p 5.MPQ.blocks|$work/maps/Data/zhCN/p 5.MPQ.regions|"
check "map size" test "$(stat -c %s "$work/maps/Data/zhCN/p 5.MPQ.blocks")" = $((96 + 256 * 12))
# One region of 256 blocks: 96 bytes and its digest.
check "region index size" test "$(stat -c %s "$work/maps/Data/zhCN/p 5.MPQ.regions")" = $((96 + 32))
refuses "blocks needs two folders" "usage" "$tool" blocks "$work/big"

# Signing: the tool's keys and .sig files agree with a standard signer
# (openssl dgst, whose DER signatures are converted to and from r||s).
cat >"$work/der.py" <<'PY'
import base64, sys
def der_to_rs(d):
    i, out = 2, b""
    for _ in range(2):
        n = d[i + 1]
        out += d[i + 2:i + 2 + n].lstrip(b"\0").rjust(32, b"\0")
        i += 2 + n
    return out
def rs_to_der(rs):
    ints = b""
    for v in (rs[:32], rs[32:]):
        v = v.lstrip(b"\0") or b"\0"
        v = b"\0" + v if v[0] & 0x80 else v
        ints += bytes([2, len(v)]) + v
    return bytes([0x30, len(ints)]) + ints
if sys.argv[1] == "line":  # line KEYID DER_FILE: the .sig line of an openssl signature
    print("realmporter-sig-v1 ecdsa-p256-sha256 %s %s" % (sys.argv[2], base64.b64encode(der_to_rs(open(sys.argv[3], "rb").read())).decode()))
else:  # der SIG_FILE OUT: the DER form of a .sig line's signature
    open(sys.argv[3], "wb").write(rs_to_der(base64.b64decode(open(sys.argv[2]).read().split()[3])))
PY
k="$work/op"
check "keygen" "$tool" keygen "$k"
check "private key readable by the owner only" test "$(stat -c %a "$k.key")" = 600
refuses "keygen keeps an existing key" "never overwritten" "$tool" keygen "$k"
printf 'the operator'"'"'s bytes' >"$work/f1"
: >"$work/empty"
check "sign" "$tool" sign --key "$k.key" "$work/f1" "$work/empty"
check "one line of the fixed format" grep -qxE 'realmporter-sig-v1 ecdsa-p256-sha256 [0-9a-f]{16} [A-Za-z0-9+/]{86}==' "$work/f1.sig"
keyid=$(openssl pkey -pubin -in "$k.pub" -outform DER | tail -c 65 | sha256sum | cut -c1-16)
check "key id is the digest of the point" grep -q " $keyid " "$work/f1.sig"
check "verify-sig" "$tool" verify-sig --pub "$k.pub" "$work/f1" "$work/empty"
python3 "$work/der.py" der "$work/f1.sig" "$work/f1.der"
check "openssl verifies the tool's signature" openssl dgst -sha256 -verify "$k.pub" -signature "$work/f1.der" "$work/f1"
printf 'signed by openssl' >"$work/f2"
openssl dgst -sha256 -sign "$k.key" -out "$work/f2.der" "$work/f2"
python3 "$work/der.py" line "$keyid" "$work/f2.der" >"$work/f2.sig"
check "the tool verifies openssl's signature" "$tool" verify-sig --pub "$k.pub" "$work/f2"
"$tool" keygen "$work/other" >/dev/null
refuses "another key's signature" "signed with another key" "$tool" verify-sig --pub "$work/other.pub" "$work/f1"
printf 'x' >>"$work/f1"
refuses "a file changed after signing" "f1: signature does not match" "$tool" verify-sig --pub "$k.pub" "$work/f2" "$work/f1"
refuses "a missing signature" "no $work/f1.sig" bash -c "rm '$work/f1.sig'; '$tool' verify-sig --pub '$k.pub' '$work/f1'"
refuses "a private key is not a public key" "not a readable P-256 public key" "$tool" verify-sig --pub "$k.key" "$work/f2"

refuses "edition's folder" "for wow335-normal must be Wow3.3.5a" "$tool" build --product wow335-normal \
  --install-root '[HD]Wow3.3.5a' --display-name d --mirror http://x/ "$c"
check "another folder when told" "$tool" build --product wow335-normal --install-root '[HD]Wow3.3.5a' \
  --display-name d --mirror http://x/ --any-install-root "$c"
mkdir -p "$c/WTF/Account" "$c/logs" "$c/Data/zhCN"; touch "$c/WTF/Config.wtf" "$c/WTF/Account/a.lua" "$c/logs/x.txt"; rm "$c/Wow.exe"
printf 'set realmlist 127.0.0.1' >"$c/Data/zhCN/realmlist.wtf"
"$tool" build "${args[@]}" "$c" >"$work/warned.json" 2>"$work/warnings"
for w in "no Wow.exe" "no Data/zhCN/patch-zhCN-6.MPQ" "WTF/ holds 2 file(s) of a player" "Logs/ holds 1" \
  "Data/zhCN/realmlist.wtf is the player's setting"; do
  check "warns: $w" grep -qF "warning: $w" "$work/warnings"
done
"$tool" build "${args[@]}" --exclude wtf/ --exclude 'Log?' --exclude '*.bak' "$c" >"$work/excluded.json" 2>"$work/warnings"
check "excluded files left out" bash -c "! grep -qi -e wtf/ -e logs/ '$work/excluded.json' && grep -q 说明 '$work/excluded.json'"
check "excluded, no warning" bash -c "! grep -q -e 'WTF/ holds' -e 'Logs/ holds' '$work/warnings'"
check "an exclude that matched nothing" grep -qF "warning: --exclude *.bak matched no file" "$work/warnings"

# The launcher's update feed: the exe's own version, size and SHA-256, and a
# .sig from the ordinary sign.
fake_exe() {  # fake_exe FILE MAJOR MINOR PATCH [SITE [KEYS]]: MZ, a version resource and the build's records
  python3 -c '
import struct, sys
b = b"MZ" + bytes(100) + bytes(6) + "VS_VERSION_INFO\0".encode("utf-16-le") + bytes(2)
b += struct.pack("<4I", 0xFEEF04BD, 0x10000, int(sys.argv[2]) << 16 | int(sys.argv[3]), int(sys.argv[4]) << 16)
site, keys = sys.argv[5], sys.argv[6]
b += b"\0RealmPorter endpoints: site=" + site.encode() + b" mirrors=https://m/wow335/ https://n/wow335/ https://o/wow335/\0"
b += b"RealmPorter operator keys: " + (keys or "none").encode() + b"\0RealmPorter operator keys: \0"
open(sys.argv[1], "wb").write(b + bytes(200))' "$1" "$2" "$3" "$4" "${5:-https://127.0.0.1:18443/}" "${6-ab12}"
}
fake_exe "$work/RealmPorter.exe" 1 2 3
fake_exe "$work/running.exe" 1 2 2
feed=(launcher-feed --version 1.2.3 --url https://127.0.0.1:18443/launcher/RealmPorter-1.2.3.exe --previous "$work/running.exe")
check "launcher-feed" "$tool" "${feed[@]}" --notes '修正了下载中断的问题' --out "$work/latest.json" "$work/RealmPorter.exe"
cat >"$work/expected.json" <<EOT
{
  "version": "1.2.3",
  "size": $(stat -c %s "$work/RealmPorter.exe"),
  "sha256": "$(sha256sum "$work/RealmPorter.exe" | cut -c1-64)",
  "url": "https://127.0.0.1:18443/launcher/RealmPorter-1.2.3.exe",
  "notes": "修正了下载中断的问题"
}
EOT
check "the feed's values" cmp "$work/latest.json" "$work/expected.json"
check "the feed signed by sign" "$tool" sign --key "$k.key" "$work/latest.json"
check "and verified" "$tool" verify-sig --pub "$k.pub" "$work/latest.json"
check "notes are optional" "$tool" "${feed[@]}" --out "$work/plain.json" "$work/RealmPorter.exe"
check "empty notes without them" grep -qx '  "notes": ""' "$work/plain.json"
refuses "another version than the exe's" "is version 1.2.3, not 1.2.4" \
  "$tool" launcher-feed --version 1.2.4 --url https://h.example/a.exe --out "$work/x.json" "$work/RealmPorter.exe"
refuses "a version of another shape" "x.y.z" "$tool" launcher-feed --version 1.02.3 --url https://h.example/a.exe \
  --out "$work/x.json" "$work/RealmPorter.exe"
refuses "a quote in the notes" "could not read" "$tool" "${feed[@]}" --notes 'a "b"' --out "$work/x.json" "$work/RealmPorter.exe"
refuses "a URL with a blank" "could not read" "$tool" launcher-feed --version 1.2.3 --url 'https://h.example/a b.exe' \
  --first-release --out "$work/x.json" "$work/RealmPorter.exe"
refuses "long notes" "longer than 600" "$tool" "${feed[@]}" --notes "$(printf 'x%.0s' $(seq 601))" --out "$work/x.json" \
  "$work/RealmPorter.exe"
printf 'no program' >"$work/text.exe"
refuses "not a program" "not a Windows program" "$tool" "${feed[@]}" --out "$work/x.json" "$work/text.exe"
printf 'MZ' >"$work/bare.exe"
refuses "no version resource" "no version resource" "$tool" "${feed[@]}" --out "$work/x.json" "$work/bare.exe"
refuses "the out file needed" "needs --version, --url, --out" "$tool" "${feed[@]}" "$work/RealmPorter.exe"
# A release that could strand the players: no key, or other endpoints or
# keys than the launcher they run now, unless told in words.
fake_exe "$work/keyless.exe" 1 2 3 https://127.0.0.1:18443/ ""
refuses "an exe without a key" "built without an operator key" "$tool" "${feed[@]}" --out "$work/x.json" \
  "$work/keyless.exe"
fake_exe "$work/moved.exe" 1 2 3 https://new.example.org/
refuses "another site" "site https://127.0.0.1:18443/ -> https://new.example.org/" "$tool" "${feed[@]}" \
  --out "$work/x.json" "$work/moved.exe"
fake_exe "$work/rekeyed.exe" 1 2 3 https://127.0.0.1:18443/ "cd34"
refuses "another key" "operator keys ab12 -> cd34" "$tool" "${feed[@]}" --out "$work/x.json" "$work/rekeyed.exe"
refuses "the running launcher unnamed" "say which launcher" "$tool" launcher-feed --version 1.2.3 \
  --url https://h.example/a.exe --out "$work/x.json" "$work/RealmPorter.exe"
refuses "a share past 100" "0 to 100" "$tool" "${feed[@]}" --share 101 --out "$work/x.json" "$work/RealmPorter.exe"
check "no feed written by a refusal" test ! -e "$work/x.json"
check "another site when told" "$tool" "${feed[@]}" --change-endpoints-or-key --out "$work/moved.json" "$work/moved.exe"
check "a first release" "$tool" launcher-feed --version 1.2.3 --url https://h.example/a.exe --first-release \
  --share 10 --out "$work/tenth.json" "$work/RealmPorter.exe"
check "the share written" grep -qx '  "share": 10,' "$work/tenth.json"

echo "manifest tool: $pass passed, $fail failed"
[ "$fail" = 0 ]

#!/usr/bin/env bash
# realmporter-manifest publish to three loopback mirrors: two folder targets
# and one rsync target through a loopback SSH server (sshd in a network and
# mount namespace of the test's own; without root, rsync's own daemon on
# loopback). v1, then v2 with a file changed, one added and one removed;
# refusals of an older release, another product and a new install root; a
# mirror that does not serve a block map stops the switch; a player reading
# v2 while v3 is published finishes on v2; old releases are removed.
set -u
tool=$1
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" = 0 ] && [ -z "${RP_PUBLISH_NS:-}" ] && unshare -n -m true 2>/dev/null; then
  exec env RP_PUBLISH_NS=1 unshare -n -m bash -c \
    'ip link set lo up; mount --make-rprivate /; mount -t tmpfs tmpfs /run; mkdir -m 755 /run/sshd; exec "$0" "$@"' \
    "$0" "$@"
fi
keys="$here/../data/keys"
work=$(mktemp -d)
trap 'for p in "$work"/*.pid; do kill $(cat "$p") 2>/dev/null; done; rm -rf "$work"' EXIT
pass=0 fail=0
expect() {  # expect NAME RC PATTERN... -- COMMAND...: exit code RC and every pattern in the output
  local name=$1 rc=$2 patterns=(); shift 2
  while [ "$1" != -- ]; do patterns+=("$1"); shift; done; shift
  local t0=$(date +%s.%N)
  "$@" >"$work/out" 2>&1
  local got=$? ok=1
  [ -n "${RP_TIMES:-}" ] && echo "$name: $(echo "$(date +%s.%N) - $t0" | bc) s"
  [ "$got" = "$rc" ] || ok=0
  for p in "${patterns[@]}"; do grep -qF -- "$p" "$work/out" || ok=0; done
  if [ $ok = 1 ]; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAILED: $name (exit $got)"; cat "$work/out"; fi
}
is() {  # is NAME COMMAND...: the command succeeds
  if "${@:2}"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAILED: $1"; fi
}

port=$((20000 + RANDOM % 20000))
m=(http://127.0.0.1:$port/wow335/ http://127.0.0.2:$port/wow335/ http://127.0.0.3:$port/wow335/)
mkdir -p "$work"/m{1,2,3}/wow335
python3 "$here/../../tools/testserver.py" serve \
  --listen "http:127.0.0.1:$port:$work/m1" --listen "http:127.0.0.2:$port:$work/m2" \
  --listen "http:127.0.0.3:$port:$work/m3" --pidfile "$work/server.pid" >/dev/null &
if [ -n "${RP_PUBLISH_NS:-}" ]; then
  ssh-keygen -q -t ed25519 -N '' -f "$work/hostkey" && ssh-keygen -q -t ed25519 -N '' -f "$work/userkey"
  cp "$work/userkey.pub" "$work/authorized_keys"
  printf '%s\n' "Port $((port + 1))" "ListenAddress 127.0.0.1" "HostKey $work/hostkey" "PidFile $work/sshd.pid" \
    "AuthorizedKeysFile $work/authorized_keys" "PermitRootLogin prohibit-password" "StrictModes no" "UsePAM no" \
    >"$work/sshd_config"
  /usr/sbin/sshd -f "$work/sshd_config" -E "$work/sshd.log"
  export RSYNC_RSH="ssh -p $((port + 1)) -i $work/userkey -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR -o ControlMaster=auto -o ControlPath=$work/ssh.%C -o ControlPersist=60"
  t3="127.0.0.1:$work/m3/wow335"
  echo "rsync target: over SSH (loopback sshd)"
else
  printf '%s\n' "pid file = $work/rsyncd.pid" "use chroot = no" "[m3]" "path = $work/m3" "read only = no" \
    >"$work/rsyncd.conf"
  rsync --daemon --config="$work/rsyncd.conf" --address=127.0.0.1 --port=$((port + 1))
  t3="rsync://127.0.0.1:$((port + 1))/m3/wow335"
  echo "rsync target: rsync daemon on loopback (no root for a private sshd)"
fi
for _ in $(seq 50); do curl -sk "http://127.0.0.3:$port/__requests" >/dev/null && break; sleep 0.1; done

c="$work/client"
mkdir -p "$c/Data/zhCN"
head -c 3000000 /dev/urandom >"$c/Data/common.MPQ"
head -c 1500000 /dev/urandom >"$c/Data/zhCN/patch-zhCN-5.MPQ"
printf 'MZ game' >"$c/Wow.exe"
printf 'old' >"$c/old.txt"
pub=("$tool" publish --product cm --install-root Client --display-name CM --key "$keys/test.key"
  --mirror "${m[0]}" "$work/m1/wow335" --mirror "${m[1]}" "$work/m2/wow335" --mirror "${m[2]}" "$t3")
served() { curl -sk "${m[$1]}cm.json" | grep -o '"created_at": "[^"]*"'; }

expect "v1 published" 0 "serves no cm.json yet" "release 20260101T000000Z" "added: 4" \
  "3 of 3 mirror(s) serve cm.json created 2026-01-01T00:00:00Z" -- "${pub[@]}" --created-at 2026-01-01T00:00:00Z "$c"
r1=releases/cm/20260101T000000Z
is "v1 on the rsync target with its map" test -f "$work/m3/wow335/$r1/cm/blocks/Data/common.MPQ.regions"
is "v1's mirrors name its release" grep -qF "\"${m[2]}$r1/\"" "$work/m3/wow335/cm.json"

# v2: 64 KiB changed inside the large file, a file added, one removed.
head -c 65536 /dev/urandom | dd of="$c/Data/common.MPQ" bs=1 seek=1000000 conv=notrunc 2>/dev/null
printf 'new' >"$c/new.txt"
rm "$c/old.txt"
find "$work"/m? -type f | sort >"$work/before"
expect "dry run" 0 "added: 1" "changed: 1" "removed: 1" "dry run: would upload" -- \
  "${pub[@]}" --created-at 2026-02-01T00:00:00Z --dry-run "$c"
is "a dry run writes nothing" cmp -s "$work/before" <(find "$work"/m? -type f | sort)
expect "v2 published" 0 "  new.txt" "  Data/common.MPQ" "  old.txt" "linked 2 unchanged from 20260101T000000Z" \
  "3 of 3 mirror(s) serve cm.json created 2026-02-01T00:00:00Z" -- "${pub[@]}" --created-at 2026-02-01T00:00:00Z "$c"
by_blocks=$(sed -n 's/.*downloads \([0-9]*\) bytes .* by blocks, \([0-9]*\) bytes .*/\1 \2/p' "$work/out")
# 64 KiB changed, 4 KiB blocks: at most 17 blocks and the map (about 9 KiB).
is "by blocks costs far less than whole files ($by_blocks)" \
  awk -v b="${by_blocks% *}" -v w="${by_blocks#* }" 'BEGIN { exit !(b > 65536 && b < 90000 && w == 3000003) }'
r2=releases/cm/20260201T000000Z
for i in 1 3; do
  is "an unchanged file is a hard link on mirror $i" test "$work/m$i/wow335/$r1/cm/files/Wow.exe" -ef \
    "$work/m$i/wow335/$r2/cm/files/Wow.exe"
done
is "the signature switched with the manifest" "$tool" verify-sig --pub "$keys/test.pub" "$work/m2/wow335/cm.json" >/dev/null

expect "an older release refused" 1 "refused: created_at 2026-01-15T00:00:00Z is not newer than the served" -- \
  "${pub[@]}" --created-at 2026-01-15T00:00:00Z "$c"
expect "another install root refused" 1 "refused: install root Other" -- \
  "${pub[@]/Client/Other}" --created-at 2026-03-01T00:00:00Z "$c"
cp "$work/m2/wow335/cm.json" "$work/cm.json.v2"
sed 's/"product": "cm"/"product": "xx"/' "$work/cm.json.v2" >"$work/m2/wow335/cm.json"
expect "another product refused" 1 "is of another product (xx)" -- "${pub[@]}" --created-at 2026-03-01T00:00:00Z "$c"
cp "$work/cm.json.v2" "$work/m2/wow335/cm.json"

# A player holding v2's manifest reads its large file slowly while v3 is
# published: it finishes with v2's bytes.
head -c 65536 /dev/urandom | dd of="$c/Data/common.MPQ" bs=1 seek=5000 conv=notrunc 2>/dev/null
v2sum=$(sed -n 's/.*"path": "Data\/common.MPQ", "size": [0-9]*, "sha256": "\([0-9a-f]*\)".*/\1/p' "$work/cm.json.v2")
curl -sk --limit-rate 1000k -o "$work/player.MPQ" "${m[0]}$r2/cm/files/Data/common.MPQ" &
player=$!
# A mirror that does not serve the block maps stops the switch.
curl -sk "http://127.0.0.3:$port/__fault?path=/wow335/releases/cm/20260301T000000Z/cm/blocks/*&kind=notfound" >/dev/null
expect "a missing map stops the switch" 1 "mirror 3 cm/blocks/Data/common.MPQ.blocks: HTTP 404" "nothing switched" -- \
  "${pub[@]}" --created-at 2026-03-01T00:00:00Z "$c"
is "v2 stays live" test "$(served 2)" = '"created_at": "2026-02-01T00:00:00Z"'
curl -sk "http://127.0.0.3:$port/__clear" >/dev/null
# Mirror 2 left on v1: unchanged files still come from v2's release there.
cp "$work/m2/wow335/$r1/cm.json" "$work/m2/wow335/cm.json"
expect "v3 published" 0 "note: mirror 2 serves an older manifest (2026-01-01T00:00:00Z)" \
  "linked 3 unchanged from 20260201T000000Z" "3 of 3 mirror(s) serve cm.json created 2026-03-01T00:00:00Z" -- \
  "${pub[@]}" --created-at 2026-03-01T00:00:00Z "$c"
wait $player
is "the player reading v2 finished with v2's bytes" test "$(sha256sum <"$work/player.MPQ" | cut -c1-64)" = "$v2sum"

expect "v4 published, the oldest releases removed" 0 "mirror 3: removed release 20260101T000000Z" \
  "mirror 1: removed release 20260201T000000Z" -- \
  "${pub[@]}" --created-at 2026-04-01T00:00:00Z --keep 2 "$c"
is "the release before the live one stays" test -f "$work/m1/wow335/releases/cm/20260301T000000Z/cm.json"
expect "unsigned needs saying so" 1 "--unsigned" -- "$tool" publish --product cm --install-root Client \
  --display-name CM --mirror "${m[0]}" "$work/m1/wow335" "$c"

echo "publish: $pass passed, $fail failed"
[ "$fail" = 0 ]

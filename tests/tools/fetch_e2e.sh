#!/usr/bin/env bash
# End to end as an operator would do it: realmporter-manifest describes a
# client folder, the three loopback mirrors serve it, and realmporter-fetch
# (under Wine) downloads and verifies it, then finds it complete. Then a
# client published by realmporter-manifest publish into release folders: a
# player downloading v1 while v2 is published finishes on v1, and a repair
# brings it to v2 by blocks from v2's release folder.
set -u
tool=$1 wineenv=$2 build=$3
work=$(mktemp -d)
trap 'rm -rf "$work" "$build/www"/m{1,2,3}/wow335/e2e-client "$build/www"/m{1,2,3}/wow335/e2e-client.json \
  "$build/www"/m{1,2,3}/wow335/releases/e2e-pub "$build/www"/m{1,2,3}/wow335/e2e-pub.json' EXIT
src="$work/client"
mkdir -p "$src/Data/zhCN" "$src/Interface"
head -c 3000000 /dev/urandom >"$src/Data/common.MPQ"
head -c 700000 /dev/urandom >"$src/Data/zhCN/patch-zhCN-5.MPQ"
printf 'MZ game' >"$src/Wow.exe"
printf '' >"$src/Interface/empty.txt"
"$tool" build --product e2e-client --install-root 'E2E Client' --display-name 'E2E' \
  --mirror https://127.0.0.1:18082/wow335/ --mirror https://127.0.0.2:18082/wow335/ \
  --mirror https://127.0.0.3:18008/wow335/ --out "$work/e2e-client.json" "$src" || exit 1
for m in m1 m2 m3; do
  mkdir -p "$build/www/$m/wow335/e2e-client"
  cp -r "$src" "$build/www/$m/wow335/e2e-client/files"
  cp "$work/e2e-client.json" "$build/www/$m/wow335/"
done
save="$work/save"
mkdir -p "$save"
winsave="Z:${save//\//\\}"
# On a fresh machine the log's folder does not exist yet: the tool makes it.
logdir=$("$wineenv" run "$build" winepath -u "$("$wineenv" run "$build" cmd /c 'echo %LOCALAPPDATA%' | tr -d '\r')\RealmPorter")
[ -d "$logdir" ] && mv "$logdir" "$work/logdir-aside"
"$wineenv" run "$build" "$build/realmporter-fetch.exe" e2e-client "$winsave" >"$work/out1" 2>&1
rc=$?
cat "$work/out1"
logged=0
grep -q 'FetchClientManifest ok: e2e-client' "$logdir/launcher.log" && logged=1
rm -rf "$logdir"
[ -d "$work/logdir-aside" ] && mv "$work/logdir-aside" "$logdir"
[ $logged = 1 ] || { echo "no log in a new log folder"; exit 1; }
grep -q '^log: C:.*\\RealmPorter\\launcher.log' "$work/out1" || { echo "the log's place is not named"; exit 1; }
[ $rc = 0 ] || { echo "first run failed ($rc)"; exit 1; }
grep -q '^result: complete' "$work/out1" || { echo "no result line"; exit 1; }
grep -q '正在下载客户端...' "$work/out1" || { echo "status lines are not UTF-8 text"; exit 1; }
diff -r "$src" "$save/E2E Client" || { echo "downloaded client differs"; exit 1; }
"$tool" verify "$work/e2e-client.json" "$save/E2E Client" || exit 1
for m in https://127.0.0.1:18082 https://127.0.0.2:18082 https://127.0.0.3:18008; do curl -sk "$m/__clearlog" >/dev/null; done
"$wineenv" run "$build" "$build/realmporter-fetch.exe" e2e-client "$winsave" >"$work/out2" 2>&1 || { cat "$work/out2"; exit 1; }
n=0
for m in https://127.0.0.1:18082 https://127.0.0.2:18082 https://127.0.0.3:18008; do
  n=$((n + $(curl -sk "$m/__requests" | grep -c '/files/')))
done
[ "$n" = 0 ] || { echo "second run transferred $n files"; exit 1; }

# A file missing on every mirror, then one damaged on every mirror, under a
# manifest that stays: after one round the fetch reads the manifests again,
# finds none newer and stops, saying the server is being updated; each
# attempt's line names the file and the answer.
part=Data/zhCN/patch-zhCN-5.MPQ
for fault in missing damaged; do
  rm -f "$save/E2E Client/$part"
  for m in m1 m2 m3; do
    f="$build/www/$m/wow335/e2e-client/files/$part"
    if [ $fault = missing ]; then rm "$f"; else head -c 700000 /dev/zero >"$f"; fi
  done
  "$wineenv" run "$build" "$build/realmporter-fetch.exe" e2e-client "$winsave" >"$work/out3" 2>&1
  rc=$?
  want="result: 服务器正在更新客户端文件，请稍后再试。"
  if [ $fault = missing ]; then
    attempt="failed: https://127.0.0.2:18082/wow335/ $part: HTTP 404"
  else
    attempt="failed: https://127.0.0.3:18008/wow335/ $part: SHA-256 mismatch"
  fi
  [ $rc = 1 ] && grep -qF "$want" "$work/out3" && grep -qF "$attempt" "$work/out3" &&
    [ "$(grep -c '^failed: ' "$work/out3")" = 3 ] ||
    { cat "$work/out3"; echo "a file $fault on every mirror: exit $rc"; exit 1; }
done

pc="$work/pclient"
mkdir -p "$pc/Data"
head -c 1500000 /dev/urandom >"$pc/Data/common.MPQ"
printf 'MZ v1' >"$pc/Wow.exe"
pub=("$tool" publish --product e2e-pub --install-root 'Pub Client' --display-name P --unsigned --insecure
  --mirror https://127.0.0.1:18082/wow335/ "$build/www/m1/wow335" --mirror https://127.0.0.2:18082/wow335/
  "$build/www/m2/wow335" --mirror https://127.0.0.3:18008/wow335/ "$build/www/m3/wow335")
"${pub[@]}" --created-at 2026-01-01T00:00:00Z "$pc" >"$work/pub1" 2>&1 || { cat "$work/pub1"; exit 1; }
v1sum=$(sha256sum <"$pc/Data/common.MPQ" | cut -c1-64)
"$wineenv" run "$build" "$build/realmporter-fetch.exe" --limit 250 e2e-pub "$winsave" >"$work/out5" 2>&1 &
player=$!
for _ in $(seq 100); do [ -n "$(find "$save/Pub Client" -type f -size +100k 2>/dev/null)" ] && break; sleep 0.1; done
head -c 65536 /dev/urandom | dd of="$pc/Data/common.MPQ" bs=1 seek=700000 conv=notrunc 2>/dev/null
printf 'MZ v2' >"$pc/Wow.exe"
"${pub[@]}" --created-at 2026-02-01T00:00:00Z "$pc" >"$work/pub2" 2>&1 || { cat "$work/pub2"; exit 1; }
kill -0 $player 2>/dev/null || { echo "the player finished before v2 was live: nothing tested"; exit 1; }
wait $player || { cat "$work/out5"; echo "the player downloading during the publish failed"; exit 1; }
[ "$(sha256sum <"$save/Pub Client/Data/common.MPQ" | cut -c1-64)" = "$v1sum" ] ||
  { echo "the player did not finish on v1"; exit 1; }
"$wineenv" run "$build" "$build/realmporter-fetch.exe" --repair e2e-pub "$winsave" >"$work/out6" 2>&1 ||
  { cat "$work/out6"; echo "repair to v2 failed"; exit 1; }
fetched=$(sed -n 's/^fetched: \([0-9]*\) bytes, 2 files replaced.*/\1/p' "$work/out6")
[ -n "$fetched" ] && [ "$fetched" -lt 300000 ] || { cat "$work/out6"; echo "v2 not by blocks"; exit 1; }
diff -r "$pc" "$save/Pub Client" || { echo "repaired client differs from v2"; exit 1; }

"$wineenv" run "$build" "$build/realmporter-fetch.exe" >/dev/null 2>&1
[ $? = 2 ] || { echo "usage error should exit 2"; exit 1; }
echo "fetch end to end: ok"

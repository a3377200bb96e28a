#!/usr/bin/env bash
# The README's sample nginx configurations: the mirror serves manifests, files
# with byte ranges, and the addon packs under their Chinese names; the site
# serves the server list and the background.
set -u
work=$(mktemp -d)
trap 'kill $(cat "$work/nginx.pid" 2>/dev/null) 2>/dev/null; rm -rf "$work"' EXIT
conf=$(dirname "$0")/../../tools/nginx
mkdir -p "$work/srv/wow335/wow335-hd/files/Data" "$work/ssl" "$work/site/images"
echo 'realm|x|127.0.0.1:3724|127.0.0.1:3724|' >"$work/site/serverlist.txt"
echo jpeg >"$work/site/images/wowbg.jpg"
head -c 100000 /dev/urandom >"$work/srv/wow335/wow335-hd/files/Data/common.MPQ"
echo '{"product": "wow335-hd"}' >"$work/srv/wow335/wow335-hd.json"
echo zip >"$work/srv/大脚插件.zip"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ssl/mirror.key" -out "$work/ssl/mirror.pem" \
  -days 2 -subj /CN=mirror >/dev/null 2>&1
cp "$work/ssl/mirror.pem" "$work/ssl/site.pem"; cp "$work/ssl/mirror.key" "$work/ssl/site.key"
port=$((20000 + RANDOM % 20000))
sed -e "s|listen 8082 ssl|listen 127.0.0.1:$port ssl|" -e "s|/etc/ssl/realmporter|$work/ssl|" \
    -e "s|/srv/realmporter|$work/srv|" "$conf/mirror.conf" >"$work/mirror.conf"
sed -e "s|listen 443 ssl|listen 127.0.0.1:$((port + 1)) ssl|" -e "s|/etc/ssl/realmporter|$work/ssl|" \
    -e "s|/srv/realmporter-site|$work/site|" "$conf/site.conf" >"$work/site.conf"
cat >"$work/nginx.conf" <<CONF
pid $work/nginx.pid;
error_log $work/error.log;
events {}
http { access_log off; include $work/mirror.conf; include $work/site.conf; }
CONF
chmod -R a+rX "$work"
nginx -c "$work/nginx.conf" -p "$work" || { cat "$work/error.log"; exit 1; }
sleep 0.5
base="https://127.0.0.1:$port"
fail=0
code=$(curl -sk -o "$work/part" -w '%{http_code}' -r 1000- "$base/wow335/wow335-hd/files/Data/common.MPQ")
[ "$code" = 206 ] && cmp -s "$work/part" <(tail -c +1001 "$work/srv/wow335/wow335-hd/files/Data/common.MPQ") ||
  { echo "range request: $code"; fail=1; }
curl -sk -D - -o /dev/null "$base/wow335/wow335-hd.json" | grep -qi 'cache-control: no-store' || { echo "json headers"; fail=1; }
[ "$(curl -sk "$base/%E5%A4%A7%E8%84%9A%E6%8F%92%E4%BB%B6.zip")" = zip ] || { echo "addon pack"; fail=1; }
site="https://127.0.0.1:$((port + 1))"
[ "$(curl -sk "$site/serverlist.txt")" = "$(cat "$work/site/serverlist.txt")" ] || { echo "server list"; fail=1; }
[ "$(curl -sk "$site/images/wowbg.jpg")" = jpeg ] || { echo "background"; fail=1; }
[ $fail = 0 ] && echo "nginx mirror and site configurations: ok"
exit $fail

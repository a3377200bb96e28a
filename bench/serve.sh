# Sourced by the block-map benchmarks (bench/delta.sh, bench/client_update.sh)
# after they set W, their work folder: one Wine prefix for both (the
# mirrors' certificate authority imported), and one loopback nginx over $W/www
# serving HTTPS on the launcher's built-in loopback mirror and plain HTTP on
# $BASE, whose access log ($W/access.log) records every request's body bytes
# last on its line. nginx and the prefix's wineserver are stopped when the
# sourcing script exits.
export WINEPREFIX="$PWD/build/bench-blocks-prefix" WINEARCH=win32 WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
BASE=http://127.0.0.1:18090

[ -f "$WINEPREFIX.certs/ca.der" ] || python3 tools/testserver.py certs "$WINEPREFIX.certs" >/dev/null
[ -f "$WINEPREFIX/prefix.done" ] || { wineboot -i >/dev/null 2>&1; touch "$WINEPREFIX/prefix.done"; }
# The prefix's server stays up between the runs, as it does while a player's
# launcher runs: each run pays the start of its process, not of Wine.
wineserver -p30
wine build/win/rp_helper_import_ca.exe "Z:${WINEPREFIX//\//\\}.certs\\ca.der" >/dev/null 2>&1

mkdir -p "$W/www"
cat >"$W/nginx.conf" <<CONF
worker_processes 1;
pid $W/nginx.pid;
error_log $W/nginx-error.log;
events { worker_connections 64; }
http {
  log_format bytes '\$msec \$request_uri \$http_range \$status \$body_bytes_sent';
  sendfile on;
  ssl_certificate $WINEPREFIX.certs/server.pem;
  ssl_certificate_key $WINEPREFIX.certs/server.key;
  server { listen 127.0.0.1:18082 ssl; root $W/www; access_log off; }
  server { listen 127.0.0.1:18090; root $W/www; access_log $W/access.log bytes; }
}
CONF
: >"$W/access.log"
nginx -c "$W/nginx.conf" -p "$W"
trap 'kill "$(cat "$W/nginx.pid")" 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT

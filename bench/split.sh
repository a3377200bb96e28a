#!/usr/bin/env bash
# Every mirror busy until the last byte. Serves a client shaped like a real
# 3.3.5a client (bench/shape-335a.txt, scaled to MIB MiB) from three loopback
# nginx mirrors, each held to RATE MiB/s with one connection
# (limit_rate + limit_conn), and measures side by side, in turns, RUNS times:
#   - realmporter-fetch (under Wine, HTTPS): wall clock and nginx's span;
#   - aria2c given the same three mirrors for every file, splitting a file
#     over them (-j 1 -s 3 -x 1: one connection per mirror, as the limit
#     allows; more are answered 503): wall clock and nginx's span;
# against the physical limit (bytes / (3 x RATE)). For each run it prints
# what each mirror sent and when its last byte left (from nginx's log), so
# that an idle mirror shows. Then, unthrottled: realmporter-fetch over HTTPS
# and over plain HTTP against curl + sha256sum, one mirror, one file at a
# time, over HTTPS and over plain HTTP. The load (uptime) is printed beside
# each figure. Stop the test servers first: the mirrors use their ports.
#
# --shape names another shape file (bench/shape-half.txt: one archive holds
# half the bytes).
#
#   bench/split.sh [--runs N] [--mib MIB] [--rate MIB_PER_S] [--shape FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=2 MIB=150 RATE=2 SHAPE=bench/shape-335a.txt
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --mib) MIB=$2; shift 2 ;;
    --rate) RATE=$2; shift 2 ;;
    --shape) SHAPE=$2; shift 2 ;;
    *) echo "usage: bench/split.sh [--runs N] [--mib MIB] [--rate MIB_PER_S] [--shape FILE]" >&2; exit 2 ;;
  esac
done

bash scripts/setup >/dev/null
make -s build/native/CMakeCache.txt build/win/CMakeCache.txt >/dev/null
cmake --build build/native --target realmporter-manifest >/dev/null
cmake --build build/win --target realmporter-fetch rp_helper_import_ca >/dev/null

W="$PWD/build/bench"
mkdir -p "$W"
export WINEPREFIX="$W/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
TOOL=build/native/realmporter-manifest
FETCH=build/win/realmporter-fetch.exe
P=bench-split
[ "$SHAPE" = bench/shape-335a.txt ] || P=bench-split-$(basename "$SHAPE" .txt)
FILES="$W/www/wow335/$P/files"
if [ ! -f "$W/$P.made.$MIB" ]; then
  rm -f "$W/$P".made.* && rm -rf "$FILES" && mkdir -p "$FILES"
  python3 bench/make_client.py shape "$SHAPE" "$FILES" $((MIB * 1048576))
  rm -rf "$W/www/wow335/$P/blocks"
  "$TOOL" blocks "$FILES" "$W/www/wow335/$P/blocks" >/dev/null
  touch "$W/$P.made.$MIB"
fi
manifest() {  # manifest PRODUCT MIRROR...: the client's files under another product name
  local product=$1; shift
  [ "$product" = "$P" ] || { rm -rf "$W/www/wow335/$product"; mkdir -p "$W/www/wow335/$product"; ln -s "$FILES" "$W/www/wow335/$product/files"; }
  local args=(); for m in "$@"; do args+=(--mirror "$m"); done
  "$TOOL" build --product "$product" --install-root Bench --display-name Bench "${args[@]}" \
    --created-at 2026-01-01T00:00:00Z --out "$W/www/wow335/$product.json" "$FILES" 2>/dev/null
}
manifest $P https://127.0.0.1:18082/wow335/ https://127.0.0.2:18082/wow335/ https://127.0.0.3:18008/wow335/
manifest $P-http http://127.0.0.1:18090/wow335/

[ -f "$W/certs/ca.der" ] || python3 tools/testserver.py certs "$W/certs" >/dev/null
[ -f "$W/prefix.done" ] || { wineboot -i >/dev/null 2>&1; touch "$W/prefix.done"; }
wine build/win/rp_helper_import_ca.exe "Z:${W//\//\\}\\certs\\ca.der" >/dev/null 2>&1

start_nginx() {  # start_nginx RATE (0 = none)
  local limit=""
  [ "$1" != 0 ] && limit="limit_rate ${1}m; limit_conn permirror 1;"
  cat >"$W/nginx.conf" <<CONF
worker_processes 2;
pid $W/nginx.pid;
error_log $W/nginx-error.log;
events { worker_connections 256; }
http {
  log_format timing '\$msec \$request_time \$connection \$status \$body_bytes_sent \$request_uri \$server_addr \$http_range';
  access_log $W/access.log timing;
  sendfile on;
  limit_conn_zone \$server_addr zone=permirror:1m;
  ssl_certificate $W/certs/server.pem;
  ssl_certificate_key $W/certs/server.key;
  server { listen 127.0.0.1:18082 ssl; root $W/www; location / { $limit } }
  server { listen 127.0.0.2:18082 ssl; root $W/www; location / { $limit } }
  server { listen 127.0.0.3:18008 ssl; root $W/www; location / { $limit } }
  server { listen 127.0.0.1:18090; root $W/www; location / { $limit } }
}
CONF
  nginx -c "$W/nginx.conf" -p "$W"; sleep 0.5
}
stop_nginx() { [ -f "$W/nginx.pid" ] && kill "$(cat "$W/nginx.pid")" 2>/dev/null; sleep 0.5; rm -f "$W/nginx.pid"; }
trap 'stop_nginx; wineserver -k 2>/dev/null || true' EXIT

now() { date +%s.%N; }
load() { cut -d' ' -f1 /proc/loadavg; }
# What each mirror sent and when its last byte left, from the start of the
# first file request, then 503 answers; the number of requests, and the
# bytes sent ahead of the rate.
mirrors_of_log() {
  python3 - "$W/access.log" "$RATE" <<'PY'
import sys
from collections import defaultdict
reqs = [l.split() for l in open(sys.argv[1]) if "/files/" in l]
t0 = min(float(r[0]) - float(r[1]) for r in reqs)
sent, last, busy = defaultdict(int), defaultdict(float), defaultdict(int)
for r in reqs:
    sent[r[6]] += int(r[4]); last[r[6]] = max(last[r[6]], float(r[0]) - t0)
    busy[r[6]] += r[3] == "503"
# Bytes sent ahead of the rate: what each answer sent beyond RATE x its
# $request_time (nginx lets an answer's first bytes go before it waits).
rate = float(sys.argv[2]) * 1048576
ahead = sum(max(0.0, int(r[4]) - rate * float(r[1])) for r in reqs)
print("; ".join("%s %.1f MiB, last byte at %.1f s%s" % (k, sent[k] / 1048576, last[k],
      ", %d answers 503" % busy[k] if busy[k] else "") for k in sorted(sent)) +
      "; %d requests, %.1f MiB sent ahead of the rate" % (len(reqs), ahead / 1048576.0))
PY
}
span() { python3 bench/nginx_span.py "$W/access.log" | cut -d' ' -f1; }

run_fetch() {  # run_fetch PRODUCT -> "wall span load"
  rm -rf "$W/save"; mkdir -p "$W/save"; : >"$W/access.log"
  local l t0 t1; l=$(load); t0=$(now)
  wine "$FETCH" "$1" "Z:${W//\//\\}\\save" >"$W/fetch.log" 2>&1 || { tail -5 "$W/fetch.log" >&2; return 1; }
  t1=$(now)
  echo "$(echo "$t1 - $t0" | bc -l) $(span) $l"
}
run_aria() {  # run_aria -> "wall span load"
  rm -rf "$W/aria"; mkdir -p "$W/aria"; : >"$W/access.log"; : >"$W/aria.txt"
  local rel l t0 t1
  (cd "$FILES" && find . -type f -printf '%s %P\n' | sort -k1,1nr | cut -d' ' -f2) | while read -r rel; do
    printf 'https://127.0.0.1:18082/wow335/%s/files/%s\thttps://127.0.0.2:18082/wow335/%s/files/%s\thttps://127.0.0.3:18008/wow335/%s/files/%s\n  out=%s\n' \
      "$P" "$rel" "$P" "$rel" "$P" "$rel" "$rel" >>"$W/aria.txt"
  done
  l=$(load); t0=$(now)
  aria2c -q -i "$W/aria.txt" -d "$W/aria" -j 1 -s 3 -x 1 --min-split-size=1M --check-certificate=false \
    --file-allocation=none --allow-overwrite=true --max-tries=0 --retry-wait=1
  t1=$(now)
  echo "$(echo "$t1 - $t0" | bc -l) $(span) $l"
}
run_curl_sha() {  # run_curl_sha BASE -> "wall load"
  rm -rf "$W/curl"; mkdir -p "$W/curl"; : >"$W/access.log"
  local rel l t0 t1; l=$(load); t0=$(now)
  (cd "$FILES" && find . -type f -printf '%P\n') | while read -r rel; do
    curl -sk --create-dirs -o "$W/curl/$rel" "$1/wow335/$P/files/$rel"
    sha256sum "$W/curl/$rel" >/dev/null
  done
  t1=$(now)
  echo "$(echo "$t1 - $t0" | bc -l) $l"
}

mib=$(echo "$(du -sbL "$FILES" | cut -f1) / 1048576" | bc -l)
count=$(find "$FILES" -type f | wc -l)
limit=$(echo "$mib / (3 * $RATE)" | bc -l)
row() {  # row CASE "wall span load" [mirrors]
  read -r wall sp l <<<"$2"
  printf '| %s | %.1f | %.1f | %.3f | %s | %s |\n' "$1" "$wall" "$sp" "$(echo "$limit / $sp" | bc -l)" "$l" "${3:-}"
}
echo "Machine: $(nproc) cores, $(uname -sr), $(wine --version), $(date -u +%Y-%m-%dT%H:%MZ)"
echo
echo "### $P: $count files, $(printf '%.1f' "$mib") MiB, three mirrors at $RATE MiB/s, one connection each"
echo
echo "Physical limit: $(printf '%.1f' "$limit") s."
echo
echo "| Case | Wall s | nginx span s | Limit / span | Load (1 min) | What each mirror sent, and its last byte |"
echo "|---|---|---|---|---|---|"
start_nginx "$RATE"
for i in $(seq "$RUNS"); do
  r=$(run_fetch $P); row "realmporter-fetch, run $i" "$r" "$(mirrors_of_log)"
  r=$(run_aria); row "aria2c -j 1 -s 3 -x 1, run $i" "$r" "$(mirrors_of_log)"
done
stop_nginx

echo
echo "### $P unthrottled, one file at a time for curl"
echo
echo "| Case | Wall s | MiB/s | Load (1 min) |"
echo "|---|---|---|---|"
start_nginx 0
urow() { read -r wall rest <<<"$2"; l=${rest##* }; printf '| %s | %.1f | %.1f | %s |\n' "$1" "$wall" "$(echo "$mib / $wall" | bc -l)" "$l"; }
urow "realmporter-fetch, HTTPS, three mirrors" "$(run_fetch $P)"
urow "realmporter-fetch, plain HTTP, one mirror" "$(run_fetch $P-http)"
urow "curl + sha256sum, HTTPS, one mirror" "$(run_curl_sha https://127.0.0.1:18082)"
urow "curl + sha256sum, plain HTTP, one mirror" "$(run_curl_sha http://127.0.0.1:18090)"
stop_nginx

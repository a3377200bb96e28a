#!/usr/bin/env bash
# Download engine benchmark. Builds a test client (default 24 files, 2 GiB),
# serves it from three loopback mirrors (nginx, HTTPS, limit_rate per
# mirror), and measures in one run:
#   1. throttled mirrors: realmporter-fetch against the physical limit and
#      against aria2c given the same three mirrors;
#   2. unthrottled loopback: realmporter-fetch against curl and aria2c;
#   3. Sha256HexOfFile (CNG under Wine) against sha256sum on one file.
# Medians of RUNS runs are printed as a Markdown table (bench/README.md holds
# the last one). Stop the test servers first: the mirrors use their ports.
#
#   bench/run.sh [--runs N] [--gib G] [--rate MB_PER_S]
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=3 GIB=2 RATE=20
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --gib) GIB=$2; shift 2 ;;
    --rate) RATE=$2; shift 2 ;;
    *) echo "usage: bench/run.sh [--runs N] [--gib G] [--rate MB_PER_S]" >&2; exit 2 ;;
  esac
done

bash scripts/setup >/dev/null
command -v aria2c >/dev/null || { apt-get install -y -q --no-install-recommends aria2 >/dev/null; }
make -s native win >/dev/null

W="$PWD/build/bench"
mkdir -p "$W"
export WINEPREFIX="$W/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
TOOL=build/native/realmporter-manifest
FETCH=build/win/realmporter-fetch.exe

# The client: 24 files of mixed sizes adding up to GIB GiB.
client="$W/www/wow335/bench-client/files"
total=$((GIB * 1024 * 1024 * 1024))
if [ ! -f "$W/client.done.$GIB" ]; then
  rm -rf "$W/www"
  mkdir -p "$client/Data"
  weights=(40 30 25 20 16 12 10 8 6 5 4 3 3 2 2 2 1 1 1 1 1 1 1 1)
  sum=0; for w in "${weights[@]}"; do sum=$((sum + w)); done
  i=0
  for w in "${weights[@]}"; do
    size=$((total / sum * w))
    head -c "$size" /dev/urandom >"$client/Data/part-$(printf %02d $i).MPQ"
    i=$((i + 1))
  done
  touch "$W/client.done.$GIB"
fi
bytes=$(du -sb "$client" | cut -f1)
"$TOOL" build --product bench-client --install-root Bench --display-name Bench \
  --mirror https://127.0.0.1:18082/wow335/ --mirror https://127.0.0.2:18082/wow335/ \
  --mirror https://127.0.0.3:18008/wow335/ --created-at 2026-01-01T00:00:00Z \
  --out "$W/www/wow335/bench-client.json" "$client" 2>/dev/null

[ -f "$W/certs/ca.der" ] || python3 tools/testserver.py certs "$W/certs" >/dev/null
[ -f "$W/prefix.done" ] || { wineboot -i >/dev/null 2>&1; touch "$W/prefix.done"; }
# The mirrors' certificate authority must be known to the prefix.
wine build/win/rp_helper_import_ca.exe "Z:${W//\//\\}\\certs\\ca.der" >/dev/null 2>&1

nginx_conf() {  # nginx_conf RATE(0 = none)
  local limit=""
  # limit_rate holds per connection; one connection per mirror makes it the
  # mirror's rate, whoever the client is.
  [ "$1" != 0 ] && limit="limit_rate ${1}m; limit_conn permirror 1;"
  cat >"$W/nginx.conf" <<CONF
worker_processes 2;
pid $W/nginx.pid;
error_log $W/nginx-error.log;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  limit_conn_zone \$server_addr zone=permirror:1m;
  ssl_certificate $W/certs/server.pem;
  ssl_certificate_key $W/certs/server.key;
  server { listen 127.0.0.1:18082 ssl; root $W/www; location / { $limit } }
  server { listen 127.0.0.2:18082 ssl; root $W/www; location / { $limit } }
  server { listen 127.0.0.3:18008 ssl; root $W/www; location / { $limit } }
}
CONF
}
start_nginx() { nginx_conf "$1"; nginx -c "$W/nginx.conf" -p "$W"; sleep 0.5; }
stop_nginx() { [ -f "$W/nginx.pid" ] && kill "$(cat "$W/nginx.pid")" 2>/dev/null; sleep 0.5; rm -f "$W/nginx.pid"; }
trap stop_nginx EXIT

now() { date +%s.%N; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

run_fetch() {
  rm -rf "$W/save"; mkdir -p "$W/save"
  local t0 t1; t0=$(now)
  wine "$FETCH" bench-client "Z:${W//\//\\}\\save" >"$W/fetch.log" 2>&1 || { tail -5 "$W/fetch.log" >&2; return 1; }
  t1=$(now); echo "$t1 - $t0" | bc -l
}
run_aria() {
  rm -rf "$W/aria"; mkdir -p "$W/aria"
  : >"$W/aria.txt"
  for f in "$client"/Data/*; do
    n=$(basename "$f")
    printf 'https://127.0.0.1:18082/wow335/bench-client/files/Data/%s\thttps://127.0.0.2:18082/wow335/bench-client/files/Data/%s\thttps://127.0.0.3:18008/wow335/bench-client/files/Data/%s\n  out=%s\n' "$n" "$n" "$n" "$n" >>"$W/aria.txt"
  done
  local t0 t1; t0=$(now)
  aria2c -q -i "$W/aria.txt" -d "$W/aria" -j 3 -s 3 -x 1 --min-split-size=8M --check-certificate=false \
    --file-allocation=none --allow-overwrite=true
  t1=$(now); echo "$t1 - $t0" | bc -l
}
run_curl() {
  rm -rf "$W/curl"; mkdir -p "$W/curl"
  local t0 t1; t0=$(now)
  for f in "$client"/Data/*; do
    curl -sk -o "$W/curl/$(basename "$f")" "https://127.0.0.1:18082/wow335/bench-client/files/Data/$(basename "$f")"
  done
  t1=$(now); echo "$t1 - $t0" | bc -l
}
measure() {  # measure FUNCTION -> median seconds
  local i; for i in $(seq "$RUNS"); do "$1"; done | median
}

mb=$(echo "$bytes / 1048576" | bc -l)
start_nginx "$RATE"
limit=$(echo "$mb / (3 * $RATE)" | bc -l)
thr_fetch=$(measure run_fetch)
thr_aria=$(measure run_aria)
stop_nginx
start_nginx 0
un_fetch=$(measure run_fetch)
un_curl=$(measure run_curl)
un_aria=$(measure run_aria)
stop_nginx

hashfile="$client/Data/part-00.MPQ"
hash_mb=$(echo "$(stat -c %s "$hashfile") / 1048576" | bc -l)
cng=$(for i in $(seq "$RUNS"); do wine build/win/rp-bench-hash.exe "Z:${hashfile//\//\\}" | awk '{print $4}'; done | median)
sys=$(for i in $(seq "$RUNS"); do t0=$(now); sha256sum "$hashfile" >/dev/null; t1=$(now); echo "$t1 - $t0" | bc -l; done | median)

fmt() { printf '%.1f' "$1"; }
cat <<TABLE
Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%d", $2 / 1048576}' /proc/meminfo) GiB, $(uname -sr), $(wine --version), $(date -u +%Y-%m-%d)
Client: $(ls "$client/Data" | wc -l) files, $(fmt "$mb") MiB; medians of $RUNS runs

| Case | Seconds | MiB/s | Ratio |
|---|---|---|---|
| Throttled ${RATE} MB/s per mirror: physical limit | $(fmt "$limit") | $(fmt "$(echo "$mb / $limit" | bc -l)") | 1.00 |
| Throttled: realmporter-fetch | $(fmt "$thr_fetch") | $(fmt "$(echo "$mb / $thr_fetch" | bc -l)") | $(printf '%.2f' "$(echo "$thr_fetch / $limit" | bc -l)") of the limit |
| Throttled: aria2c, same three mirrors | $(fmt "$thr_aria") | $(fmt "$(echo "$mb / $thr_aria" | bc -l)") | fetch/aria2c $(printf '%.2f' "$(echo "$thr_fetch / $thr_aria" | bc -l)") |
| Unthrottled: realmporter-fetch | $(fmt "$un_fetch") | $(fmt "$(echo "$mb / $un_fetch" | bc -l)") | |
| Unthrottled: curl, one mirror, one file at a time | $(fmt "$un_curl") | $(fmt "$(echo "$mb / $un_curl" | bc -l)") | fetch/curl $(printf '%.2f' "$(echo "$un_fetch / $un_curl" | bc -l)") |
| Unthrottled: aria2c | $(fmt "$un_aria") | $(fmt "$(echo "$mb / $un_aria" | bc -l)") | fetch/aria2c $(printf '%.2f' "$(echo "$un_fetch / $un_aria" | bc -l)") |
| SHA-256 of $(fmt "$hash_mb") MiB: Sha256HexOfFile (CNG, Wine) | | $(fmt "$cng") | |
| SHA-256: sha256sum | $(fmt "$sys") | $(fmt "$(echo "$hash_mb / $sys" | bc -l)") | |
TABLE

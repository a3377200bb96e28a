#!/usr/bin/env bash
# Download engine benchmark. Serves two test clients of G GiB from three
# loopback mirrors (nginx, HTTPS, limit_rate per mirror): 24 files in fixed
# proportions, and one shaped like a real 3.3.5a client (bench/shape-335a.txt:
# a handful of large archives, locale and speech archives, a few hundred
# small files). For each it measures in one run:
#   1. throttled mirrors: the physical limit (bytes / the sum of the mirror
#      rates), the whole-file ceiling (the largest share of bytes one mirror
#      gets when the files go to the mirrors in turn, largest first, over
#      one mirror's rate; and measured: nginx's span, from the first file
#      request to the last byte, of aria2c given the launcher's schedule),
#      and realmporter-fetch (wall clock, and nginx's span);
#   2. unthrottled loopback: realmporter-fetch against curl and aria2c;
# then the many-small-files client (600 files of 20 to 400 KB and three
# archives of 40 MiB, mirrors at 8 MiB/s): nginx's span and the mean gap
# between requests on a connection, for realmporter-fetch and for aria2c
# given the launcher's schedule (one aria2c per mirror, one file at a time,
# the files sorted largest first, file i on mirror i mod 3); then the peak
# working set of realmporter-fetch for a client of one 64 MiB file and one
# of one 1 GiB file, and Sha256HexOfFile (CNG under Wine) against sha256sum.
# Medians of RUNS runs are printed as Markdown tables (bench/README.md holds
# the last ones), with the load average before and after. Stop the test
# servers first: the mirrors use their ports. --only small runs the
# many-small-files client alone; --only unthrottled the two large clients
# from unthrottled mirrors against curl + sha256sum, one file at a time.
#
#   bench/run.sh [--runs N] [--gib G] [--rate MB_PER_S] [--only small|unthrottled]
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=3 GIB=2 RATE=20 ONLY=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --gib) GIB=$2; shift 2 ;;
    --rate) RATE=$2; shift 2 ;;
    --only) ONLY=$2; shift 2 ;;
    *) echo "usage: bench/run.sh [--runs N] [--gib G] [--rate MB_PER_S] [--only small|unthrottled]" >&2; exit 2 ;;
  esac
done

bash scripts/setup >/dev/null
{ [ "$ONLY" = unthrottled ] || command -v aria2c >/dev/null; } && [ -x /usr/bin/time ] ||
  { apt-get install -y -q --no-install-recommends aria2 time >/dev/null; }
# Only what the benchmark runs.
make -s build/native/CMakeCache.txt build/win/CMakeCache.txt >/dev/null
cmake --build build/native --target realmporter-manifest >/dev/null
cmake --build build/win --target realmporter-fetch rp-bench-hash rp_helper_import_ca >/dev/null

W="$PWD/build/bench"
mkdir -p "$W"
export WINEPREFIX="$W/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
TOOL=build/native/realmporter-manifest
FETCH=build/win/realmporter-fetch.exe

# The clients, each made once per size.
total=$((GIB * 1024 * 1024 * 1024))
files_of() { echo "$W/www/wow335/$1/files"; }
make_client() {  # make_client PRODUCT KIND SIZE_TAG [MIB]
  local product=$1 kind=$2 tag=$3 dir; dir=$(files_of "$1"); shift 3
  if [ ! -f "$W/$product.done.$tag" ]; then
    rm -f "$W/$product".done.*
    rm -rf "$dir"
    mkdir -p "$dir"
    case "$kind" in
      uniform) python3 bench/make_client.py uniform "$dir" "$total" ;;
      shape) python3 bench/make_client.py shape bench/shape-335a.txt "$dir" "$total" ;;
      small) python3 bench/make_client.py small "$dir" ;;
      one) mkdir -p "$dir/Data"; head -c $(($1 * 1024 * 1024)) /dev/urandom >"$dir/Data/one.MPQ" ;;
    esac
    touch "$W/$product.done.$tag"
  fi
  "$TOOL" build --product "$product" --install-root Bench --display-name Bench \
    --mirror https://127.0.0.1:18082/wow335/ --mirror https://127.0.0.2:18082/wow335/ \
    --mirror https://127.0.0.3:18008/wow335/ --created-at 2026-01-01T00:00:00Z \
    --out "$W/www/wow335/$product.json" "$dir" 2>/dev/null
}
mkdir -p "$W/www/wow335"
[ "$ONLY" = unthrottled ] || make_client bench-small small 600
if [ -z "$ONLY" ] || [ "$ONLY" = unthrottled ]; then
  make_client bench-uniform uniform "$GIB"
  make_client bench-shaped shape "$GIB"
fi
if [ -z "$ONLY" ]; then
  make_client bench-mem-64 one 64 64
  make_client bench-mem-1024 one 1024 1024
fi

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
  # When each request ended, how long it took, and on which connection.
  log_format timing '\$msec \$request_time \$connection \$status \$body_bytes_sent \$request_uri';
  access_log $W/access.log timing;
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
load() { cut -d' ' -f1-3 /proc/loadavg; }
# nginx's view of the last run: "span_seconds mean_gap_ms requests connections".
log_span() { python3 bench/nginx_span.py "$W/access.log"; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

# run_fetch PRODUCT: seconds; the run's peak working set (KiB) goes to
# $W/peak-PRODUCT, the largest of the runs.
run_fetch() {
  rm -rf "$W/save"; mkdir -p "$W/save"; : >"$W/access.log"
  local t0 t1 peak; t0=$(now)
  /usr/bin/time -f %M -o "$W/rss" wine "$FETCH" "$1" "Z:${W//\//\\}\\save" >"$W/fetch.log" 2>&1 ||
    { tail -5 "$W/fetch.log" >&2; return 1; }
  t1=$(now); echo "$t1 - $t0" | bc -l
  peak=$(tail -1 "$W/rss"); [ -f "$W/peak-$1" ] && [ "$(cat "$W/peak-$1")" -gt "$peak" ] && peak=$(cat "$W/peak-$1")
  echo "$peak" >"$W/peak-$1"
  log_span >>"$W/span-fetch-$1"
}
# The launcher's distribution of a client's files: "MIRROR PATH" lines,
# sorted by size, largest first, file i on mirror i mod 3.
schedule() { (cd "$(files_of "$1")" && find . -type f -printf '%s %P\n') | sort -s -k1,1nr | awk '{print (NR-1) % 3, $2}'; }
run_aria_schedule() {  # run_aria_schedule PRODUCT: one aria2c per mirror, one file at a time
  rm -rf "$W/aria"; mkdir -p "$W/aria"; : >"$W/access.log"
  local m rel t0 t1 hosts=(127.0.0.1:18082 127.0.0.2:18082 127.0.0.3:18008)
  schedule "$1" >"$W/schedule"
  for m in 0 1 2; do
    awk -v m="$m" '$1 == m {print $2}' "$W/schedule" | while read -r rel; do
      printf 'https://%s/wow335/%s/files/%s\n  out=%s\n' "${hosts[$m]}" "$1" "$rel" "$rel"
    done >"$W/aria-$m.txt"
  done
  t0=$(now)
  for m in 0 1 2; do
    aria2c -q -i "$W/aria-$m.txt" -d "$W/aria" -j 1 -s 1 -x 1 --check-certificate=false \
      --file-allocation=none --allow-overwrite=true &
  done
  wait
  t1=$(now); echo "$t1 - $t0" | bc -l
  log_span >>"$W/span-aria-$1"
}
run_aria() {  # run_aria PRODUCT
  rm -rf "$W/aria"; mkdir -p "$W/aria"
  : >"$W/aria.txt"
  local dir rel; dir=$(files_of "$1")
  (cd "$dir" && find . -type f | sed 's|^\./||') | while read -r rel; do
    printf 'https://127.0.0.1:18082/wow335/%s/files/%s\thttps://127.0.0.2:18082/wow335/%s/files/%s\thttps://127.0.0.3:18008/wow335/%s/files/%s\n  out=%s\n' \
      "$1" "$rel" "$1" "$rel" "$1" "$rel" "$rel" >>"$W/aria.txt"
  done
  local t0 t1; t0=$(now)
  aria2c -q -i "$W/aria.txt" -d "$W/aria" -j 3 -s 3 -x 1 --min-split-size=8M --check-certificate=false \
    --file-allocation=none --allow-overwrite=true
  t1=$(now); echo "$t1 - $t0" | bc -l
}
run_curl_sha() {  # run_curl_sha PRODUCT: as run_curl, each file then hashed by sha256sum
  rm -rf "$W/curl"; mkdir -p "$W/curl"
  local dir rel t0 t1; dir=$(files_of "$1"); t0=$(now)
  (cd "$dir" && find . -type f | sed 's|^\./||') | while read -r rel; do
    curl -sk --create-dirs -o "$W/curl/$rel" "https://127.0.0.1:18082/wow335/$1/files/$rel"
    sha256sum "$W/curl/$rel" >/dev/null
  done
  t1=$(now); echo "$t1 - $t0" | bc -l
}
run_curl() {  # run_curl PRODUCT: one mirror, one file at a time
  rm -rf "$W/curl"; mkdir -p "$W/curl"
  local dir rel t0 t1; dir=$(files_of "$1"); t0=$(now)
  (cd "$dir" && find . -type f | sed 's|^\./||') | while read -r rel; do
    curl -sk --create-dirs -o "$W/curl/$rel" "https://127.0.0.1:18082/wow335/$1/files/$rel"
  done
  t1=$(now); echo "$t1 - $t0" | bc -l
}
measure() {  # measure FUNCTION PRODUCT -> median seconds
  local i; for i in $(seq "$RUNS"); do "$1" "$2"; done | median
}

fmt() { printf '%.1f' "$1"; }
ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }
mib_of() { echo "$(du -sb "$(files_of "$1")" | cut -f1) / 1048576" | bc -l; }
count_of() { find "$(files_of "$1")" -type f | wc -l; }
rm -f "$W"/peak-* "$W"/span-*
# The median of one column of the nginx figures of a product's runs.
span_median() { awk -v c="$3" '{print $c}' "$W/span-$1-$2" | median; }
load_before=$(load)

declare -A limit ceil thr_fetch un_fetch un_curl un_curl_sha un_aria
if [ "$ONLY" = unthrottled ]; then
  start_nginx 0
  for p in bench-uniform bench-shaped; do
    un_fetch[$p]=$(measure run_fetch "$p")
    un_curl_sha[$p]=$(measure run_curl_sha "$p")
  done
  stop_nginx
  echo "Machine: $(nproc) cores, $(uname -sr), $(wine --version), $(date -u +%Y-%m-%d)"
  echo "Load average (1, 5, 15 min) before: $load_before; after: $(load)"
  echo
  echo "| Unthrottled, medians of $RUNS runs | MiB | realmporter-fetch, s | curl + sha256sum one file at a time, s | Ratio of speeds |"
  echo "|---|---|---|---|---|"
  for p in bench-uniform bench-shaped; do
    echo "| $p, $(count_of "$p") files | $(fmt "$(mib_of "$p")") | $(fmt "${un_fetch[$p]}") | $(fmt "${un_curl_sha[$p]}") | $(ratio "${un_curl_sha[$p]}" "${un_fetch[$p]}") |"
  done
  exit 0
fi
if [ -z "$ONLY" ]; then
start_nginx "$RATE"
for p in bench-uniform bench-shaped; do
  mb=$(mib_of "$p")
  limit[$p]=$(echo "$mb / (3 * $RATE)" | bc -l)
  ceil[$p]=$(echo "3 * $(python3 bench/make_client.py ceiling "$(files_of "$p")") * ${limit[$p]}" | bc -l)
  thr_fetch[$p]=$(measure run_fetch "$p")
  mv "$W/span-fetch-$p" "$W/span-fetch-thr-$p"
  measure run_aria_schedule "$p" >/dev/null
done
stop_nginx
start_nginx 0
for p in bench-uniform bench-shaped; do
  un_fetch[$p]=$(measure run_fetch "$p")
  un_curl[$p]=$(measure run_curl "$p")
  un_aria[$p]=$(measure run_aria "$p")
done
for p in bench-mem-64 bench-mem-1024; do measure run_fetch "$p" >/dev/null; done
stop_nginx
fi

start_nginx 8
small_fetch=$(measure run_fetch bench-small)
small_aria=$(measure run_aria_schedule bench-small)
stop_nginx
load_after=$(load)

echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%d", $2 / 1048576}' /proc/meminfo) GiB, $(uname -sr), $(wine --version), $(date -u +%Y-%m-%d)"
echo "Load average (1, 5, 15 min) before: $load_before; after: $load_after"
small_table() {
  local p=bench-small s_f s_a
  s_f=$(span_median fetch $p 1) s_a=$(span_median aria $p 1)
  cat <<TABLE

### $p: $(count_of $p) files, $(fmt "$(mib_of $p)") MiB, mirrors at 8 MiB/s; medians of $RUNS runs

| Case | Wall seconds | nginx span, s | Mean gap on a connection, ms | Requests / connections | Ratio |
|---|---|---|---|---|---|
| realmporter-fetch | $(fmt "$small_fetch") | $(printf '%.2f' "$s_f") | $(printf '%.1f' "$(span_median fetch $p 2)") | $(span_median fetch $p 3) / $(span_median fetch $p 4) | aria2c span / fetch span $(ratio "$s_a" "$s_f") |
| aria2c, the launcher's schedule | $(fmt "$small_aria") | $(printf '%.2f' "$s_a") | $(printf '%.1f' "$(span_median aria $p 2)") | $(span_median aria $p 3) / $(span_median aria $p 4) | |
TABLE
}
if [ -n "$ONLY" ]; then
  small_table
  exit 0
fi

hashfile="$(files_of bench-uniform)/Data/part-00.MPQ"
hash_mb=$(echo "$(stat -c %s "$hashfile") / 1048576" | bc -l)
cng=$(for i in $(seq "$RUNS"); do wine build/win/rp-bench-hash.exe "Z:${hashfile//\//\\}" | awk '{print $4}'; done | median)
sys=$(for i in $(seq "$RUNS"); do t0=$(now); sha256sum "$hashfile" >/dev/null; t1=$(now); echo "$t1 - $t0" | bc -l; done | median)

echo "Mirrors throttled to ${RATE} MiB/s each; medians of $RUNS runs"
for p in bench-uniform bench-shaped; do
  mb=$(mib_of "$p")
  cat <<TABLE

### $p: $(count_of "$p") files, $(fmt "$mb") MiB

| Case | Seconds | MiB/s | Ratio |
|---|---|---|---|
| Throttled: physical limit | $(fmt "${limit[$p]}") | $(fmt "$(echo "$mb / ${limit[$p]}" | bc -l)") | 1.00 |
| Throttled: whole-file ceiling, computed | $(fmt "${ceil[$p]}") | $(fmt "$(echo "$mb / ${ceil[$p]}" | bc -l)") | $(ratio "${ceil[$p]}" "${limit[$p]}") x the limit |
| Throttled: whole-file ceiling, measured: aria2c with the launcher's schedule, nginx span | $(fmt "$(span_median aria "$p" 1)") | $(fmt "$(echo "$mb / $(span_median aria "$p" 1)" | bc -l)") | |
| Throttled: realmporter-fetch, wall clock | $(fmt "${thr_fetch[$p]}") | $(fmt "$(echo "$mb / ${thr_fetch[$p]}" | bc -l)") | $(ratio "${ceil[$p]}" "${thr_fetch[$p]}") of the computed ceiling's speed |
| Throttled: realmporter-fetch, nginx span | $(fmt "$(span_median fetch-thr "$p" 1)") | $(fmt "$(echo "$mb / $(span_median fetch-thr "$p" 1)" | bc -l)") | $(ratio "$(span_median aria "$p" 1)" "$(span_median fetch-thr "$p" 1)") of the measured ceiling's speed, $(ratio "${ceil[$p]}" "$(span_median fetch-thr "$p" 1)") of the computed |
| Unthrottled: realmporter-fetch | $(fmt "${un_fetch[$p]}") | $(fmt "$(echo "$mb / ${un_fetch[$p]}" | bc -l)") | |
| Unthrottled: curl, one mirror, one file at a time | $(fmt "${un_curl[$p]}") | $(fmt "$(echo "$mb / ${un_curl[$p]}" | bc -l)") | $(ratio "${un_curl[$p]}" "${un_fetch[$p]}") of curl's speed |
| Unthrottled: aria2c | $(fmt "${un_aria[$p]}") | $(fmt "$(echo "$mb / ${un_aria[$p]}" | bc -l)") | fetch/aria2c $(ratio "${un_fetch[$p]}" "${un_aria[$p]}") |
| Peak working set of realmporter-fetch | | $(fmt "$(echo "$(cat "$W/peak-$p") / 1024" | bc -l)") MiB | |
TABLE
done
small_table
cat <<TABLE

### Memory and hashing

| Case | Seconds | MiB/s | Peak working set |
|---|---|---|---|
| realmporter-fetch, one file of 64 MiB | | | $(fmt "$(echo "$(cat "$W/peak-bench-mem-64") / 1024" | bc -l)") MiB |
| realmporter-fetch, one file of 1024 MiB | | | $(fmt "$(echo "$(cat "$W/peak-bench-mem-1024") / 1024" | bc -l)") MiB |
| SHA-256 of $(fmt "$hash_mb") MiB: Sha256HexOfFile (CNG, Wine) | | $(fmt "$cng") | |
| SHA-256: sha256sum | $(fmt "$sys") | $(fmt "$(echo "$hash_mb / $sys" | bc -l)") | |
TABLE

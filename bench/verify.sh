#!/usr/bin/env bash
# Verify throughput: every file of a client of G GiB (bench-shaped, as
# bench/run.sh makes it: seven large archives and 320 small files) read and
# hashed as a verify does (`rp-bench-hash --verify`, Sha256HexOfFile on one
# file per processor at once, under Wine), against one thread of the
# platform's SHA-256 (CNG under Wine, in memory) measured in the same run,
# and against `sha256sum` run on each core (xargs -P). The client is read
# once before, so every case reads it from the page cache: the figures are
# of hashing and reading, not of the disk. Medians of RUNS runs, with the
# load average before and after.
#
#   bench/verify.sh [--runs N] [--gib G]
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=3 GIB=2
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --gib) GIB=$2; shift 2 ;;
    *) echo "usage: bench/verify.sh [--runs N] [--gib G]" >&2; exit 2 ;;
  esac
done
make -s build/win/CMakeCache.txt >/dev/null
cmake --build build/win --target rp-bench-hash >/dev/null

W="$PWD/build/bench"
export WINEPREFIX="$W/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
dir="$W/www/wow335/bench-shaped/files"
tag="$W/bench-shaped.done.$GIB"
if [ ! -f "$tag" ]; then
  rm -f "$W"/bench-shaped.done.*
  rm -rf "$dir"; mkdir -p "$dir"
  python3 bench/make_client.py shape bench/shape-335a.txt "$dir" $((GIB * 1024 * 1024 * 1024))
  touch "$tag"
fi
[ -f "$W/prefix.done" ] || { wineboot -i >/dev/null 2>&1; touch "$W/prefix.done"; }
windir="Z:${dir//\//\\}"
cores=$(nproc)
files=$(find "$dir" -type f | wc -l)
mib=$(echo "$(du -sb "$dir" | cut -f1) / 1048576" | bc -l)
find "$dir" -type f -print0 | xargs -0 cat >/dev/null

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
now() { date +%s.%N; }
fmt() { printf '%.1f' "$1"; }
# The MiB/s of rp-bench-hash's runs: the last field of its line.
hash_rate() { for _ in $(seq "$RUNS"); do wine build/win/rp-bench-hash.exe "$@" | awk '{print $(NF-1)}'; done | median; }
sums_rate() {  # sums_rate JOBS: sha256sum over the client, JOBS at once
  for _ in $(seq "$RUNS"); do
    local t0 t1; t0=$(now)
    find "$dir" -type f -print0 | xargs -0 -P "$1" -n 8 sha256sum >/dev/null
    t1=$(now); echo "$mib / ($t1 - $t0)" | bc -l
  done | median
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
cng1=$(hash_rate --threads 1 --mib 512 --platform)
cng2=$(hash_rate --threads "$cores" --mib 512 --platform)
x861=$(hash_rate --threads 1 --mib 512)
x862=$(hash_rate --threads "$cores" --mib 512)
verify_cng=$(hash_rate --verify "$windir" --platform)
verify=$(hash_rate --verify "$windir")
sums1=$(sums_rate 1)
sums=$(sums_rate "$cores")
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

target=$(echo "0.9 * $cng1 * $cores" | bc -l)
echo "Machine: $cores cores, $(uname -sr), $(wine --version), $(date -u +%Y-%m-%d)"
echo "Load average (1, 5, 15 min) before: $load_before; after: $load_after"
cat <<TABLE

### Verify of bench-shaped: $files files, $(fmt "$mib") MiB from the page cache; medians of $RUNS runs

| Case | MiB/s | Ratio |
|---|---|---|
| Platform SHA-256 (CNG, Wine), one thread, in memory | $(fmt "$cng1") | 1.00 |
| Platform SHA-256 (CNG, Wine), $cores threads at once, in memory | $(fmt "$cng2") | $(printf '%.2f' "$(echo "$cng2 / $cng1" | bc -l)") |
| Processor's SHA instructions, one thread, in memory | $(fmt "$x861") | $(printf '%.2f' "$(echo "$x861 / $cng1" | bc -l)") |
| Processor's SHA instructions, $cores threads at once, in memory | $(fmt "$x862") | $(printf '%.2f' "$(echo "$x862 / $cng1" | bc -l)") |
| Verify: read and hash, one file per core, CNG only | $(fmt "$verify_cng") | $(printf '%.2f' "$(echo "$verify_cng / $cng1" | bc -l)") |
| Verify: read and hash, one file per core (the program) | $(fmt "$verify") | $(printf '%.2f' "$(echo "$verify / $cng1" | bc -l)") |
| sha256sum, one at a time | $(fmt "$sums1") | $(printf '%.2f' "$(echo "$sums1 / $cng1" | bc -l)") |
| sha256sum, $cores at once | $(fmt "$sums") | $(printf '%.2f' "$(echo "$sums / $cng1" | bc -l)") |

Target: verify at least 0.9 x one CNG thread x $cores cores = $(fmt "$target") MiB/s;
measured $(fmt "$verify") MiB/s, $(printf '%.2f' "$(echo "$verify / $target" | bc -l)") of the target;
$(printf '%.2f' "$(echo "$verify / $sums" | bc -l)") of sha256sum on each core.
TABLE

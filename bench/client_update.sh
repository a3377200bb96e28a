#!/usr/bin/env bash
# Client update and repair. bench/make_client_pair.py makes version 1 and 2
# of a client (three archives of MIB MiB each with a few per cent changed,
# 300 small files: 30 changed, 10 added, 5 removed). One loopback nginx
# serves the manifests over HTTPS (the launcher's built-in loopback mirror)
# and the files, block maps and zsync control files over plain HTTP, logging
# $body_bytes_sent. Measured, each from the same copy of version 1 as
# realmporter-fetch downloaded it:
#   a1. realmporter-fetch over version 1 with block maps published (the
#       launcher's update: every file checked, changed ones rebuilt);
#   a2. the same without block maps: every changed file downloaded whole;
#   a3. zsync run file by file over the changed files (Debian's zsync,
#       defaults; added files fetched whole with curl), the check aside;
#   b.  realmporter-fetch --repair of version 2 with five damaged 4 KiB
#       spots in two archives and two small files deleted.
# Stop the test servers first: nginx uses the loopback mirror's port.
#
# The four cases run in turn RUNS times (default 3); the table gives the
# median seconds (bytes do not vary between runs), and each case's last
# output and launcher log stay in the work folder (out-a1, log-a1, ...).
#
#   bench/client_update.sh [MIB]        (default: 676, a client of 2 GiB)
set -euo pipefail
cd "$(dirname "$0")/.."
MIB=${1:-676}
RUNS=${RUNS:-3}

command -v zsync >/dev/null && command -v zsyncmake >/dev/null ||
  apt-get install -y -q --no-install-recommends zsync >/dev/null

W="$PWD/build/bench-client-update"
mkdir -p "$W"
TOOL=build/native/realmporter-manifest
EXE=build/win/realmporter-fetch.exe
P=bench-update
WWW="$W/www/wow335"
# shellcheck source=serve.sh
source bench/serve.sh
sleep 0.5

now() { date +%s.%N; }
mib() { printf '%.2f' "$(echo "$1 / 1048576" | bc -l)"; }
sec() { printf '%.1f' "$1"; }
lines() { wc -l <"$W/access.log"; }
bytes_since() { tail -n +"$(($1 + 1))" "$W/access.log" | awk '{s += $NF} END {print s + 0}'; }
winpath() { echo "Z:${1//\//\\}"; }

publish() {  # publish SRC MAPS(yes/no)
  rm -rf "$WWW" && mkdir -p "$WWW/$P"
  cp -r "$1" "$WWW/$P/files"
  "$TOOL" build --product $P --install-root Client --display-name Bench --mirror "$BASE/wow335/" \
    --created-at 2026-01-01T00:00:00Z --out "$WWW/$P.json" "$1" >/dev/null
  [ "$2" = yes ] && "$TOOL" blocks "$1" "$WWW/$P/blocks" >/dev/null
  return 0
}
# fetch ARGS...: realmporter-fetch into $W/save; prints "seconds bytes"
fetch() {
  local l0 t0 t1; l0=$(lines); sync; t0=$(now)
  [ -n "$LOG" ] && [ -f "$LOG" ] && : >"$LOG"
  wine "$EXE" "$@" "$(winpath "$W/save")" >"$W/out" 2>&1 || { cat "$W/out" >&2; exit 1; }
  t1=$(now)
  echo "$(echo "$t1 - $t0" | bc -l) $(bytes_since "$l0")"
}

load() { cut -d' ' -f1-3 /proc/loadavg; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
# keep CASE: the last run's output and launcher log of a case
keep() {
  cp "$W/out" "$W/out-$1"
  LOG=$(find "$WINEPREFIX/drive_c/users" -path '*RealmPorter/launcher.log' 2>/dev/null | head -1 || true)
  [ -n "$LOG" ] && cp "$LOG" "$W/log-$1"
  return 0
}
LOG=""
echo "Machine: $(nproc) cores shared with other work, $(wine --version), $(date -u +%Y-%m-%d)"
echo "Load average before: $(load)"
rm -rf "$W/v1" "$W/v2" "$W/save" "$W/save-v1" "$W/save-v2"
mkdir -p "$W/save"
read -r changed changed_small added_small total < <(python3 bench/make_client_pair.py "$W/v1" "$W/v2" "$MIB")
publish "$W/v1" no
fetch $P >/dev/null
cp -a "$W/save" "$W/save-v1"

publish "$W/v2" yes
map_bytes=$(find "$WWW/$P/blocks" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')

# a1 and a2: the launcher's update, with and without maps
case_a1() {
  rm -rf "$W/save" && cp -a "$W/save-v1" "$W/save"
  read -r a1_sec a1_bytes < <(fetch $P)
  diff -r "$W/v2" "$W/save/Client" >/dev/null || { echo "update: wrong result" >&2; exit 1; }
  keep a1
  [ -d "$W/save-v2" ] || cp -a "$W/save" "$W/save-v2"
}
case_a2() {
  rm -rf "$W/save" && cp -a "$W/save-v1" "$W/save"
  mv "$WWW/$P/blocks" "$W/blocks.off"
  read -r a2_sec a2_bytes < <(fetch $P)
  mv "$W/blocks.off" "$WWW/$P/blocks"
  diff -r "$W/v2" "$W/save/Client" >/dev/null || { echo "whole: wrong result" >&2; exit 1; }
  keep a2
}

# a3: zsync file by file over the changed files, curl for the added ones
mkdir -p "$WWW/zsync"
changed_files=()
while IFS= read -r rel; do
  if [ -f "$W/v1/$rel" ] && ! cmp -s "$W/v1/$rel" "$W/v2/$rel"; then changed_files+=("$rel"); fi
done < <(cd "$W/v2" && find . -type f | sed 's|^\./||' | sort)
for rel in "${changed_files[@]}"; do
  z="$WWW/zsync/$(echo "$rel" | tr / _).zsync"
  zsyncmake -u "$BASE/wow335/$P/files/$rel" -o "$z" "$W/v2/$rel" >/dev/null 2>&1
done
case_a3() {
  rm -rf "$W/zs" && cp -a "$W/save-v1/Client" "$W/zs"
  local l0 t0 t1 rel; l0=$(lines); sync; t0=$(now)
  for rel in "${changed_files[@]}"; do
    (cd "$(dirname "$W/zs/$rel")" && zsync -q -i "$(basename "$rel")" -o "$(basename "$rel").new" \
      "$BASE/wow335/zsync/$(echo "$rel" | tr / _).zsync" >/dev/null 2>&1 && mv "$(basename "$rel").new" "$(basename "$rel")")
  done
  while IFS= read -r rel; do
    [ -f "$W/v1/$rel" ] || curl -s -o "$W/zs/$rel" "$BASE/wow335/$P/files/$rel"
  done < <(cd "$W/v2" && find . -type f | sed 's|^\./||')
  t1=$(now)
  a3_sec=$(echo "$t1 - $t0" | bc -l)
  a3_bytes=$(bytes_since "$l0")
  for rel in "${changed_files[@]}"; do cmp -s "$W/v2/$rel" "$W/zs/$rel" || { echo "zsync: wrong $rel" >&2; exit 1; }; done
}

# b: repair of version 2: five 4 KiB spots in two archives, two small files deleted
spot() { head -c 4096 /dev/urandom | dd of="$W/save/Client/$1" bs=1 seek="$2" conv=notrunc status=none; }
case_b() {
  rm -rf "$W/save" && cp -a "$W/save-v2" "$W/save"
  spot Data/common.MPQ 1000000
  spot Data/common.MPQ $((MIB * 400000))
  spot Data/common.MPQ $((MIB * 900000))
  spot Data/expansion.MPQ 5000000
  spot Data/expansion.MPQ $((MIB * 700000))
  deleted=0
  local f
  for f in Data/zhCN/DBFilesClient/f010.dbc Data/zhCN/DBFilesClient/f020.dbc; do
    [ -f "$W/save/Client/$f" ] || continue
    deleted=$((deleted + $(stat -c %s "$W/save/Client/$f"))); rm "$W/save/Client/$f"
  done
  read -r b_sec b_bytes < <(fetch --repair $P)
  diff -r "$W/v2" "$W/save/Client" >/dev/null || { echo "repair: wrong result" >&2; exit 1; }
  b_found=$(grep '^found:' "$W/out")
  keep b
}

: >"$W/seconds"
for run in $(seq "$RUNS"); do
  for c in a1 a2 a3 b; do
    "case_$c"
    v="${c}_sec"
    echo "$c ${!v} $(load)" | tee -a "$W/seconds" >&2
  done
done
for c in a1 a2 a3 b; do declare "${c}_sec=$(awk -v c=$c '$1 == c {print $2}' "$W/seconds" | median)"; done
echo "Load average after: $(load)"

cat <<TABLE

### Client of $(mib "$total") MiB: three archives of $MIB MiB, 300 small files; version 2 changes $(mib "$changed") MiB

| Case | MiB on the wire | Seconds, median of $RUNS |
|---|---|---|
| a1. realmporter-fetch over version 1, block maps ($(mib "$map_bytes") MiB for all files) | $(mib "$a1_bytes") | $(sec "$a1_sec") |
| a2. realmporter-fetch over version 1, no maps (changed files whole) | $(mib "$a2_bytes") | $(sec "$a2_sec") |
| a3. zsync per changed file ($(echo "${#changed_files[@]}") files) + curl for 10 added | $(mib "$a3_bytes") | $(sec "$a3_sec") |
| b. realmporter-fetch --repair: 5 spots of 4 KiB, 2 files deleted ($(mib "$deleted") MiB) | $(mib "$b_bytes") | $(sec "$b_sec") |

- a1 / a3 bytes: $(printf '%.3f' "$(echo "$a1_bytes / $a3_bytes" | bc -l)"); a1 / (changed x 1.1 + maps): $(printf '%.3f' "$(echo "$a1_bytes / ($changed * 1.1 + $map_bytes)" | bc -l)")
- b minus the deleted files: $(mib $((b_bytes - deleted))) MiB (target: 1 MiB or less); $b_found
- changed small files $(mib "$changed_small") MiB, added $(mib "$added_small") MiB
TABLE

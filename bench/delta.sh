#!/usr/bin/env bash
# Patch update by block map against zsync and the whole download. For each
# pair of archives (bench/make_delta_pair.py: a rebuilt archive of MIB MiB
# with a few per cent changed) one loopback nginx serves the new archive,
# its block map and its zsync control file over plain HTTP, and the
# manifest over HTTPS (the launcher's built-in loopback mirror). Per pair it
# measures the bytes nginx sent ($body_bytes_sent) and the seconds for:
#   1. the launcher's patch update (rp-bench-patch under Wine: the window's
#      check of the old archive, then the worker), with the block map;
#   2. zsync (Debian's zsync and zsyncmake, defaults) over the same old file;
#   3. the launcher's patch update without a map: the whole download.
# Stop the test servers first: nginx uses the loopback mirror's port.
#
#   bench/delta.sh [MIB ...]        (default: 300)
set -euo pipefail
cd "$(dirname "$0")/.."
SIZES=("$@")
[ ${#SIZES[@]} -gt 0 ] || SIZES=(300)

command -v zsync >/dev/null && command -v zsyncmake >/dev/null && [ -x /usr/bin/time ] ||
  apt-get install -y -q --no-install-recommends zsync time >/dev/null
make -s native win >/dev/null

W="$PWD/build/bench-delta"
mkdir -p "$W"
TOOL=build/native/realmporter-manifest
EXE=build/win/rp-bench-patch.exe
PRODUCT=bench-delta
FILES="$W/www/wow335/$PRODUCT/files"
ZPATH=wow335/$PRODUCT/files/Data/zhCN/patch-zhCN-5.MPQ
# shellcheck source=serve.sh
source bench/serve.sh
sleep 0.5

now() { date +%s.%N; }
fmt() { printf '%.1f' "$1"; }
mib() { echo "$1 / 1048576" | bc -l; }
# bytes_since LINE: body bytes of the access log's lines after line LINE
bytes_since() { tail -n +"$(($1 + 1))" "$W/access.log" | awk '{s += $NF} END {print s + 0}'; }
lines() { wc -l <"$W/access.log" 2>/dev/null || echo 0; }
LOG=$(find "$WINEPREFIX/drive_c/users" -path '*RealmPorter/launcher.log' 2>/dev/null | head -1 || true)

# run_launcher: the patch update of the game folder; prints "seconds peak_kib
# own_seconds cpu_seconds": own_seconds from the tool's own clock (the wall
# time less Wine's start of the process), cpu_seconds the processor time
# (user + system) of the process, which a shared machine stretches less
# than the wall time
run_launcher() {
  rm -f "$W/game/Data/zhCN/"*.bak "$W/game/Data/zhCN/"*.new
  cp "$W/old.MPQ" "$W/game/Data/zhCN/patch-zhCN-5.MPQ"
  sync
  local t0 t1; t0=$(now)
  /usr/bin/time -f "%M %U %S" -o "$W/rss" wine "$EXE" "$PRODUCT" "Z:${W//\//\\}\\game\\Wow.exe" >"$W/own" 2>/dev/null
  t1=$(now)
  cmp -s "$W/game/Data/zhCN/patch-zhCN-5.MPQ" "$FILES/Data/zhCN/patch-zhCN-5.MPQ" || { echo "launcher: wrong result" >&2; exit 1; }
  echo "$(echo "$t1 - $t0" | bc -l) $(tail -1 "$W/rss" | awk '{print $1}') $(awk '$1 == "done" {print $2}' "$W/own") $(tail -1 "$W/rss" | awk '{print $2 + $3}')"
}

echo "Machine: $(nproc) cores shared with other work (load $(cut -d' ' -f1-3 /proc/loadavg)), $(wine --version), $(date -u +%Y-%m-%d)"
for size in "${SIZES[@]}"; do
  rm -rf "$W/www" "$W/game" "$W/zsync"
  mkdir -p "$FILES/Data/zhCN" "$W/game/Data/zhCN" "$W/zsync"
  read -r newsize changed < <(python3 bench/make_delta_pair.py "$W/old.MPQ" "$FILES/Data/zhCN/patch-zhCN-5.MPQ" "$size" "$size")
  head -c 1000 /dev/urandom >"$FILES/Data/zhCN/patch-zhCN-6.MPQ"
  cp "$FILES/Data/zhCN/patch-zhCN-6.MPQ" "$W/game/Data/zhCN/"
  cp build/win/rp_helper_game.exe "$W/game/Wow.exe"
  "$TOOL" build --product "$PRODUCT" --install-root Bench --display-name Bench --mirror "$BASE/wow335/" \
    --created-at 2026-01-01T00:00:00Z --out "$W/www/wow335/$PRODUCT.json" "$FILES" >/dev/null
  t0=$(now)
  "$TOOL" blocks "$FILES" "$W/www/wow335/$PRODUCT/blocks" >/dev/null
  t1=$(now); make_map=$(echo "$t1 - $t0" | bc -l)
  map=$(stat -c %s "$W/www/wow335/$PRODUCT/blocks/Data/zhCN/patch-zhCN-5.MPQ.blocks")
  t0=$(now)
  zsyncmake -u "$BASE/$ZPATH" -o "$W/www/new.zsync" "$FILES/Data/zhCN/patch-zhCN-5.MPQ" >/dev/null 2>&1
  t1=$(now); make_zs=$(echo "$t1 - $t0" | bc -l)

  # 1. the launcher with the block map
  l0=$(lines)
  [ -n "$LOG" ] && : >"$LOG"
  read -r d_sec d_kib d_own d_cpu < <(run_launcher)
  d_bytes=$(bytes_since "$l0")
  LOG=$(find "$WINEPREFIX/drive_c/users" -path '*RealmPorter/launcher.log' | head -1)
  plan=$(grep -o 'Delta plan.*' "${LOG:-/dev/null}" | tail -1 || true)
  built=$(grep -o "Delta built.*" "${LOG:-/dev/null}" | tail -1 | sed "s/.* in //" || true)

  # 2. zsync, same old file
  l0=$(lines)
  cp "$W/old.MPQ" "$W/zsync/old.MPQ"; sync
  t0=$(now)
  (cd "$W/zsync" && /usr/bin/time -f "%U %S" -o "$W/zcpu" zsync -q -i old.MPQ -o new.MPQ "$BASE/new.zsync" >/dev/null 2>&1)
  t1=$(now); z_sec=$(echo "$t1 - $t0" | bc -l)
  z_cpu=$(tail -1 "$W/zcpu" | awk '{print $1 + $2}')
  z_bytes=$(bytes_since "$l0")
  cmp -s "$W/zsync/new.MPQ" "$FILES/Data/zhCN/patch-zhCN-5.MPQ" || { echo "zsync: wrong result" >&2; exit 1; }
  zctl=$(stat -c %s "$W/www/new.zsync")

  # 3. the launcher without a map: the whole download
  mv "$W/www/wow335/$PRODUCT/blocks" "$W/blocks.off"
  l0=$(lines)
  read -r w_sec w_kib w_own w_cpu < <(run_launcher)
  w_bytes=$(bytes_since "$l0")
  mv "$W/blocks.off" "$W/www/wow335/$PRODUCT/blocks"

  cat <<TABLE

### Pair of $(fmt "$(mib "$newsize")") MiB, $(fmt "$(mib "$changed")") MiB changed

| Case | MiB on the wire | Seconds | Seconds without Wine's process start | Processor seconds | Peak working set |
|---|---|---|---|---|---|
| Launcher, block map ($(fmt "$(mib "$map")") MiB) | $(fmt "$(mib "$d_bytes")") | $(fmt "$d_sec") | $(fmt "${d_own:-0}") | ${d_cpu:-?} | $(fmt "$(mib $((d_kib * 1024)))") MiB |
| zsync (control file $(fmt "$(mib "$zctl")") MiB) | $(fmt "$(mib "$z_bytes")") | $(fmt "$z_sec") | | ${z_cpu:-?} | |
| Launcher, whole download | $(fmt "$(mib "$w_bytes")") | $(fmt "$w_sec") | $(fmt "${w_own:-0}") | ${w_cpu:-?} | $(fmt "$(mib $((w_kib * 1024)))") MiB |

- bytes: launcher/zsync $(printf '%.3f' "$(echo "$d_bytes / $z_bytes" | bc -l)"); launcher / (changed x 1.1 + map) $(printf '%.3f' "$(echo "$d_bytes / ($changed * 1.1 + $map)" | bc -l)")
- making the maps: realmporter-manifest blocks $(fmt "$make_map") s, zsyncmake $(fmt "$make_zs") s
- load average after: $(cut -d' ' -f1-3 /proc/loadavg)
- log: $plan
- log: delta built ${built:-?}
TABLE
done

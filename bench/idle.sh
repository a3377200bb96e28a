#!/usr/bin/env bash
# The launcher's cost while it waits: started with a server list and no job,
# left alone in front, then behind another window (Wine's Notepad). For each
# EXE, the CPU time per second of wall clock (in % of one core) of the
# launcher's process, of the prefix's wineserver and of its Xvfb, from
# utime + stime in /proc over IDLE_SECONDS (default 30), as a Markdown table.
# Runs its own prefix and servers in BUILD; give it a network namespace:
#   unshare -n bash -c 'ip link set lo up; bench/idle.sh build/win EXE...'
set -euo pipefail
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")/.." && pwd)
env_tool="$here/tests/wine/wine-env"
"$env_tool" up "$build" >/dev/null 2>&1
trap '"$env_tool" down "$build" >/dev/null 2>&1' EXIT
eval "$("$env_tool" shell "$build")"
export WINEDLLOVERRIDES="mscoree,mshtml=" RP_WWW="$build/www"
state="$build/wine-state"
printf '甲服|w|10.1.1.1:3724|10.1.1.1:3724|描述\n' >"$RP_WWW/site/serverlist.txt"
span=${IDLE_SECONDS:-30}
hz=$(getconf CLK_TCK)

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# CPU % of one core of each pid over the span.
measure() {
  local before=() after=() p
  for p in "$@"; do before+=("$(ticks "$p")"); done
  sleep "$span"
  for p in "$@"; do after+=("$(ticks "$p")"); done
  for i in "${!before[@]}"; do
    awk -v a="${before[$i]}" -v b="${after[$i]}" -v hz="$hz" -v s="$span" 'BEGIN {printf "%.1f %% ", 100 * (b - a) / hz / s}'
  done
}

echo "| launcher | in front: launcher, wineserver, Xvfb | behind Notepad: launcher, wineserver, Xvfb |"
echo "|---|---|---|"
for exe in "$@"; do
  cp "$exe" "$build/idle-launcher.exe"
  wine "$build/idle-launcher.exe" >/dev/null 2>&1 &
  wine "$build/rp_probe.exe" wait 60000 >/dev/null
  sleep 3
  # The launcher's Windows process of this prefix (other prefixes may run one).
  pid=""
  for p in $(pgrep -x idle-launcher.e || true); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then pid=$p; fi
  done
  servers=("$pid" "$(cat "$state/wineserver.pid")" "$(cat "$state/xvfb.pid")")
  front=$(measure "${servers[@]}")
  wine notepad >/dev/null 2>&1 &
  sleep 5
  back=$(measure "${servers[@]}")
  echo "| $(basename "$exe") | $front| $back|"
  wine "$build/rp_probe.exe" kill >/dev/null 2>&1 || true
  wineserver -k 2>/dev/null || true
  sleep 2
  setsid wineserver -p -f </dev/null >>"$state/wineserver.log" 2>&1 &
  echo $! >"$state/wineserver.pid"
  sleep 1
done

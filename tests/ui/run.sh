#!/usr/bin/env bash
# Runs one UI test file against the launcher of a build folder, in that
# build's Wine prefix and Xvfb display (set up by the wine fixture). With
# RP_WINE_LOCALE set, in that locale's own prefix (tests/wine/wine-env).
set -u
build=$(cd "$1" && pwd)
test=$2
here=$(cd "$(dirname "$0")" && pwd)
eval "$("$here/../wine/wine-env" shell "$build")"
export RP_NATIVE_TOOL="$(cd "$build/.." && pwd)/native/realmporter-manifest" RP_BUILD="$build" RP_WWW="$build/www" WINEDLLOVERRIDES="mscoree,mshtml=" PYTHONDONTWRITEBYTECODE=1
if [ -z "${RP_WINE_LOCALE:-}" ]; then cd "$here" && exec python3 "$test" "${@:3}"; fi
"$here/../wine/wine-env" prefix "$build" || exit 1
cd "$here" && python3 "$test" "${@:3}"
rc=$?
wineserver -k 2>/dev/null
exit $rc

#!/usr/bin/env bash
# The same documents give the same identity in the operator's tool (OpenSSL)
# and in the launcher's code (CNG under Wine).
set -u
tool=$1 wineenv=$2 build=$3 dir=$4
if [ ! -x "$tool" ]; then echo "the native tool $tool is not built"; exit 1; fi
status=0
for doc in "$dir"/*.json; do
  a=$("$tool" id "$doc") || { echo "tool refused $doc"; status=1; continue; }
  b=$("$wineenv" run "$build" "$build/rp_helper_manifest_id.exe" "Z:${doc//\//\\}" | tr -d '\r') || { echo "launcher refused $doc"; status=1; continue; }
  if [ "$a" != "$b" ]; then echo "differ for $doc: tool $a, launcher $b"; status=1; else echo "agree: $(basename "$doc") $a"; fi
done
exit $status

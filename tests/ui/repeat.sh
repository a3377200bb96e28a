#!/usr/bin/env bash
# Runs window tests again and again in one Wine prefix and counts the runs
# that failed, to measure a fault that comes and goes (never to hide one).
#
#   tests/ui/repeat.sh BUILD COUNT FILE [Class.test ...]
#   e.g. tests/ui/repeat.sh build/win 50 tests/ui/test_jobs.py \
#          Jobs.test_addon_replaces_interface_even_when_wtf_exists
#
# The first failure's output is kept in BUILD/repeat-first-failure.txt.
set -u
build=$(cd "$1" && pwd)
count=$2
file=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
shift 3
here=$(cd "$(dirname "$0")" && pwd)
env="$here/../wine/wine-env"
"$env" up "$build" >/dev/null || exit 1
trap '"$env" down "$build"' EXIT
failed=0
rm -f "$build/repeat-first-failure.txt"
for i in $(seq "$count"); do
  out=$("$here/run.sh" "$build" "$file" "$@" 2>&1)
  if [ $? -ne 0 ]; then
    failed=$((failed + 1))
    [ -f "$build/repeat-first-failure.txt" ] || printf '%s\n' "$out" >"$build/repeat-first-failure.txt"
    echo "run $i: FAILED"
  else
    echo "run $i: passed"
  fi
done
echo "$((count - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]

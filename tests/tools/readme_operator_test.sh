#!/usr/bin/env bash
# The README's operator commands as written: every fenced block marked
# "```sh operator-test" runs in the README's order, in one shell, against a
# loopback site of four mirrors. Only the places are rewritten, by fixed
# rules: https://mN.example.org[:port]/ becomes the loopback mirror N over
# http, an rsync target mN:/srv/realmporter/ that mirror's folder, /srv/ and
# ~ folders of the test. Mark a block to put it under this test; a block
# must run after the blocks above it. The publishing section's copy of the
# files to m1..m3 is done here before the blocks run.
# Also: keygen refuses a key inside a git work tree, and .gitignore
# ignores private keys.
set -u
tool=$1
here=$(cd "$(dirname "$0")" && pwd)
src="$here/../.."
work=$(mktemp -d)
trap 'kill $(cat "$work/pid" 2>/dev/null) 2>/dev/null; rm -rf "$work"' EXIT
pass=0 fail=0
ok() { pass=$((pass + 1)); }
bad() { fail=$((fail + 1)); echo "FAILED: $*"; }

# The operator's machine: the tool on the PATH, a home, a client folder.
mkdir -p "$work/bin" "$work/home" "$work/srv/clients/hd/Data/zhCN" "$work/cwd"
ln -s "$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")" "$work/bin/realmporter-manifest"
c="$work/srv/clients/hd"
printf 'MZ game' >"$c/Wow.exe"
head -c 1500000 /dev/urandom >"$c/Data/zhCN/patch-zhCN-5.MPQ"
head -c 3000 /dev/urandom >"$c/Data/zhCN/patch-zhCN-6.MPQ"
port=$((20000 + RANDOM % 20000))
for i in 1 2 3 4; do
  mkdir -p "$work/m$i/wow335/wow335-hd"
  [ $i = 4 ] || rsync -a --delete "$c/" "$work/m$i/wow335/wow335-hd/files/"
done
# The previous release's map of a file this one dropped, made and published.
mkdir -p "$work/srv/blocks/hd/Data" "$work/m1/wow335/wow335-hd/blocks/Data"
touch "$work/srv/blocks/hd/Data/dropped.MPQ.blocks" "$work/m1/wow335/wow335-hd/blocks/Data/dropped.MPQ.blocks"
python3 "$src/tools/testserver.py" serve --listen "http:127.0.0.1:$port:$work/m1" \
  --listen "http:127.0.0.2:$port:$work/m2" --listen "http:127.0.0.3:$port:$work/m3" \
  --listen "http:127.0.0.4:$port:$work/m4" --pidfile "$work/pid" >/dev/null &
for _ in $(seq 50); do curl -s "http://127.0.0.4:$port/__requests" >/dev/null && break; sleep 0.1; done

python3 - "$src/README.md" "$work" "$port" >"$work/blocks.sh" <<'PY'
import re, sys
readme, work, port = sys.argv[1:]
out, block, indent = [], None, ""
for line in open(readme, encoding="utf-8"):
    m = re.match(r"^( *)```sh operator-test\s*$", line)
    if block is None and m:
        block, indent = [], m.group(1)
    elif block is not None and line.strip() == "```":
        out.append("".join(block))
        block = None
    elif block is not None:
        block.append(line[len(indent):] if line.startswith(indent) else line)
text = "\n".join(out)
text = re.sub(r"https://m([0-9])\.example\.org(:[0-9]+)?/", r"http://127.0.0.\1:%s/" % port, text)
text = re.sub(r"\bm([0-9]):/srv/realmporter/", work + r"/m\1/", text)
text = re.sub(r"\$m:/srv/realmporter/", work + "/$m/", text)
text = text.replace("/srv/", work + "/srv/")
print("set -ex")
print(text)
print("echo README-BLOCKS-DONE")
PY
n=$(grep -c '^realmporter-manifest' "$work/blocks.sh")
[ "$n" -ge 8 ] && ok || bad "too few README commands found ($n)"
if (cd "$work/cwd" && HOME="$work/home" PATH="$work/bin:$PATH" bash "$work/blocks.sh") >"$work/out" 2>&1 &&
  grep -q README-BLOCKS-DONE "$work/out"; then ok; else bad "the README's operator commands"; cat "$work/out"; fi

# What the commands left: the key outside the sources, said so; a .regions
# beside every .blocks on every mirror; the moved mirror serving.
k="$work/home/realmporter-keys/operator"
[ "$(stat -c %a "$k.key" 2>/dev/null)" = 600 ] && ok || bad "private key at $k.key, readable by the owner only"
[ ! -e "$work/m1/wow335/wow335-hd/blocks/Data/dropped.MPQ.blocks" ] && ok || bad "a dropped file's map left on m1"
grep -q "^$k.key: the private key" "$work/out" && grep -q "Never publish it" "$work/out" && ok ||
  bad "keygen names where the key went and that it is never published"
for i in 1 2 3 4; do
  b="$work/m$i/wow335/wow335-hd/blocks/Data/zhCN/patch-zhCN-5.MPQ"
  [ -s "$b.blocks" ] && [ -s "$b.regions" ] && ok || bad "m$i: map and region index"
  [ -s "$work/m$i/wow335/wow335-hd.json.sig" ] && ok || bad "m$i: signed manifest"
done
curl -s "http://127.0.0.4:$port/__requests" | grep -q "^GET /wow335/wow335-hd.json " && ok ||
  bad "check-mirrors asked the new mirror"

# keygen inside a git work tree: refused without the words, made with them.
git init -q "$work/tree"
if "$tool" keygen "$work/tree/keys-op" >"$work/kout" 2>&1; then bad "keygen inside a work tree accepted"; else
  grep -q "inside the git work tree $work/tree" "$work/kout" && ok || { bad "refusal names the tree"; cat "$work/kout"; }
fi
[ ! -e "$work/tree/keys-op.key" ] && [ ! -e "$work/tree/keys-op.pub" ] && ok || bad "refused keygen left a file"
mkdir -p "$work/tree/deep/er"
"$tool" keygen "$work/tree/deep/er/op" >/dev/null 2>&1 && bad "keygen deeper in a work tree accepted" || ok
"$tool" keygen --inside-work-tree-i-know "$work/tree/op" >"$work/kout" 2>&1 && [ -f "$work/tree/op.key" ] &&
  grep -q "warning: both are inside the git work tree" "$work/kout" && ok || bad "keygen with the words"
git -C "$src" check-ignore -q operator.key && git -C "$src" check-ignore -q deep/x.key && ok ||
  bad ".gitignore ignores private keys"

echo "readme operator: $pass passed, $fail failed"
[ "$fail" = 0 ]

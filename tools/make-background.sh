#!/usr/bin/env bash
# Draws the launcher's shipped background (840 x 500): a night sky with
# stars over a golden arched bridge. Uses ImageMagick; deterministic.
set -euo pipefail
out=$1
convert -size 840x500 gradient:'#1d4078'-'#03060f' \
  \( -size 840x500 xc:black -seed 7 +noise Random -channel G -separate +channel -threshold 99.5% -blur 0x0.6 \) \
  -compose screen -composite \
  -fill none -stroke '#f2c25e' -strokewidth 5 -draw "ellipse 420,700 560,330 196,344" \
  -stroke '#8a6a2a' -strokewidth 2 -draw "ellipse 420,712 560,330 196,344" \
  -fill '#ffe9a8' -stroke none -draw "translate 640,110 scale 0.9,0.9 polygon 0,-30 7,-9 29,-9 11,4 18,25 0,12 -18,25 -11,4 -29,-9 -7,-9" \
  -quality 90 "$out"

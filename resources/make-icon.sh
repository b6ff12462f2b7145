#!/usr/bin/env bash
# Draws the program icon (KorbexUpdate.ico: 16, 24, 32, 48 and 256 pixels) with
# ImageMagick. The result is committed; run this again only to change the picture.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# One 256-pixel master: a blue tile with a white game pad and an orange arrow
# pointing down into it (new firmware going into the adapter).
convert -size 256x256 xc:none \
  -fill '#1f5fbf' -draw 'roundrectangle 8,8 247,247 48,48' \
  -fill '#2f7fe0' -draw 'roundrectangle 8,8 247,140 48,48' \
  -fill '#1f5fbf' -draw 'rectangle 8,100 247,140' \
  -fill white -draw 'roundrectangle 36,120 220,214 44,44' \
  -fill white -draw 'circle 68,204 68,160' -draw 'circle 188,204 188,160' \
  -fill '#1f5fbf' -draw 'rectangle 62,150 74,190' -draw 'rectangle 48,164 88,176' \
  -fill '#1f5fbf' -draw 'circle 176,160 176,150' -draw 'circle 198,180 198,170' \
  -fill '#ff9f1a' -draw 'rectangle 112,28 144,84' -draw 'polygon 92,82 164,82 128,124' \
  "$tmp/master.png"

for size in 16 24 32 48; do
  convert "$tmp/master.png" -filter Lanczos -resize ${size}x${size} "$tmp/icon-$size.png"
done
convert -depth 8 "$tmp/icon-16.png" "$tmp/icon-24.png" "$tmp/icon-32.png" "$tmp/icon-48.png" "$tmp/master.png" -depth 8 KorbexUpdate.ico

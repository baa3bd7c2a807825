#!/usr/bin/env bash
# Draws the launcher's pictures with ImageMagick: the splash (504 x 323, RGBA) and the
# program icon at 48, 32 and 16 pixels.  The results are committed; run this only to change them.
set -euo pipefail
cd "$(dirname "$0")"
font=DejaVu-Sans
bold=DejaVu-Sans-Bold

# Splash: a rounded dark-blue card with a light band, the product name and a handheld outline.
convert -size 504x323 xc:none \
  \( -size 504x323 gradient:'#123a6b'-'#0a1c33' \) \
  \( -size 504x323 xc:none -fill white -draw 'roundrectangle 0,0 503,322 18,18' \) \
  -compose over -delete 0 -compose copy_opacity -composite \
  -fill '#2f7fd1' -draw 'rectangle 0,238 503,246' \
  -fill '#f2f6fb' -stroke none \
  -font "$bold" -pointsize 40 -annotate +36+92 'Lumara Link' \
  -font "$font" -pointsize 18 -fill '#b9d3f0' -annotate +38+126 'Orvane-Connect for your handheld' \
  -fill none -stroke '#b9d3f0' -strokewidth 3 -draw 'roundrectangle 380,40 456,200 10,10' \
  -fill '#2f7fd1' -stroke none -draw 'rectangle 392,56 444,110' \
  -fill '#b9d3f0' -draw 'circle 401,130 401,136' -draw 'circle 418,130 418,136' -draw 'circle 435,130 435,136' \
  -draw 'circle 401,150 401,156' -draw 'circle 418,150 418,156' -draw 'circle 435,150 435,156' \
  -draw 'circle 401,170 401,176' -draw 'circle 418,170 418,176' -draw 'circle 435,170 435,176' \
  -font "$font" -pointsize 13 -fill '#8fb2d9' -annotate +38+290 'Starting ...' \
  -annotate +360+290 'version 0.1.0' \
  -define png:color-type=6 -depth 8 PNG32:splash.png

# Icon: the handheld outline on a blue rounded square.
for n in 48 32 16; do
  r=$((n / 6)); m=$((n - 1))
  convert -size ${n}x${n} xc:none \
    -fill '#1f5fa8' -draw "roundrectangle 0,0 $m,$m $r,$r" \
    -fill '#f2f6fb' -draw "roundrectangle $((n * 30 / 100)),$((n * 12 / 100)) $((n * 70 / 100)),$((n * 88 / 100)) $((r / 2 + 1)),$((r / 2 + 1))" \
    -fill '#2f7fd1' -draw "rectangle $((n * 36 / 100)),$((n * 20 / 100)) $((n * 64 / 100)),$((n * 46 / 100))" \
    -define png:color-type=6 -depth 8 PNG32:kq-lumaralink-$n.png
done

# The Windows program icon (icon group 1 of KQ-LumaraLink.exe) from the three pictures.
python3 make-icon.py

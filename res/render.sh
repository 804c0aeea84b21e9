#!/usr/bin/env bash
# Renders every picture in src/ to the PNG of the same name in this folder, at the
# pixel size the window expects. The PNGs are kept in the repository, so the build
# never needs this script; run it after editing an SVG.
# Needs rsvg-convert (Debian: librsvg2-bin).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
command -v rsvg-convert >/dev/null || { echo "rsvg-convert not found (apt-get install librsvg2-bin)" >&2; exit 1; }

# name width height
pictures=(
    "dfu_icon_01 256 256"
    "dfu_icon_02 256 256"
    "dfu_icon_03 256 256"
    "Dividing_line 220 25"
    "Question_black_small 32 32"
    "Question_black 64 64"
    "Question_white_small 32 32"
    "Question_white 64 64"
    "qivoimage 534 465"
    "qivo600_400 600 400"
)

for entry in "${pictures[@]}"; do
    read -r name w h <<<"$entry"
    rsvg-convert --width "$w" --height "$h" --format png \
        --output "$here/$name.png" "$here/src/$name.svg"
    echo "$name.png ${w}x${h}"
done

# The application icon for the desktop's hicolor theme, at its usual sizes;
# 256x256 is dfu_icon_03.png itself.
for size in 16 24 32 48 64 128; do
    mkdir -p "$here/icons/${size}x${size}"
    rsvg-convert --width "$size" --height "$size" --format png \
        --output "$here/icons/${size}x${size}/qivo-dfu.png" "$here/src/dfu_icon_03.svg"
    echo "icons/${size}x${size}/qivo-dfu.png"
done

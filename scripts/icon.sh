#!/usr/bin/env bash
# Makes the tool's icon from its drawing, resources/icon/vek.svg: a PNG of each size
# (vek-SIZE.png), which the Debian package installs beside the drawing, and vek.ico of the same
# bitmaps, which the Windows program carries. Run it after changing the drawing, and commit
# what it writes: a release takes these files as they are, so its bytes do not depend on which
# versions of librsvg and icoutils the releasing machine has.
# Usage: scripts/icon.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
help_if_asked "$@"
need_packages "${ICON_PACKAGES[@]}"

dir=resources/icon
# The sizes Windows asks an icon for, at 100 % to 200 % scaling and in Explorer's views.
sizes=(16 24 32 48 64 256)
rm -f "$dir"/vek-*.png
for px in "${sizes[@]}"; do
    rsvg-convert --width "$px" --height "$px" --output "$dir/vek-$px.png" "$dir/vek.svg"
done
# Up to 64 pixels as 32-bit bitmaps with alpha, which every reader of icons takes; 256 as the
# PNG itself, which Windows reads from Vista on and which is a fraction of the bitmap's size.
small=()
for px in "${sizes[@]}"; do
    [ "$px" = 256 ] || small+=("$dir/vek-$px.png")
done
icotool --create --bit-depth=32 --output="$dir/vek.ico" "${small[@]}" --raw="$dir/vek-256.png"
icotool --list "$dir/vek.ico"

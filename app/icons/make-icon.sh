#!/bin/sh
# Regenerates icon.ico from icon.svg: a 256 px PNG-compressed image plus
# 128, 64, 48, 32 and 16 px uncompressed 32-bit bitmaps; and png/<size>.png.
# Needs Debian's librsvg2-bin (rsvg-convert) and icoutils (icotool).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
for tool in rsvg-convert icotool; do
    command -v "$tool" >/dev/null || { echo "make-icon.sh: $tool not found (apt-get install librsvg2-bin icoutils)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 256 128 64 48 32 16; do
    rsvg-convert -w "$size" -h "$size" "$here/icon.svg" -o "$work/$size.png"
done
icotool -c -b 32 -o "$work/icon.ico" --raw="$work/256.png" \
    "$work/128.png" "$work/64.png" "$work/48.png" "$work/32.png" "$work/16.png"
mv "$work/icon.ico" "$here/icon.ico"
# The same images as PNG files, for the Linux desktop's icon theme.
mkdir -p "$here/png"
for size in 256 128 64 48 32 16; do
    cp "$work/$size.png" "$here/png/$size.png"
done
icotool -l "$here/icon.ico"

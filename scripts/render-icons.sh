#!/usr/bin/env bash
# Renders the SVGs under resources/assets/src into the images that are committed:
#   - the PNGs the program embeds, plus NAME@2x.png for those shown at a fixed size
#     (key state and logout), which Qt picks on high-DPI screens;
#   - the application icon for the desktop (hicolor PNG sizes) and for Windows (.ico).
# Needs rsvg-convert (librsvg2-bin) and icotool (icoutils).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root/resources/assets"
for svg in src/*.svg; do
    name=$(basename "$svg" .svg)
    [ "$name" = sealstation ] && continue
    rsvg-convert "$svg" -o "$name.png"
    echo "rendered $name.png"
done
for name in usb_connected usb_disconnected exit_app; do
    rsvg-convert --zoom 2 "src/$name.svg" -o "$name@2x.png"
    echo "rendered $name@2x.png"
done

id=com.vesk.SealStation
icons=$root/packaging/linux/icons
rm -rf "$icons"
ico_parts=()
for size in 16 24 32 48 64 128 256; do
    mkdir -p "$icons/${size}x${size}"
    rsvg-convert -w "$size" -h "$size" src/sealstation.svg -o "$icons/${size}x${size}/$id.png"
    case $size in 16 | 24 | 32 | 48 | 256) ico_parts+=("$icons/${size}x${size}/$id.png") ;; esac
done
echo "rendered $icons"
# The 256 px image goes in PNG form, the small ones as bitmaps for old shells.
icotool -c -o "$root/packaging/windows/sealstation.ico" --raw="$icons/256x256/$id.png" \
    "${ico_parts[@]:0:4}"
echo "rendered packaging/windows/sealstation.ico"

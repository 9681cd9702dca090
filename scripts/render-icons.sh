#!/usr/bin/env bash
# Renders resources/assets/src/*.svg into the PNGs the program embeds.
# Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/../resources/assets"
for svg in src/*.svg; do
    name=$(basename "$svg" .svg)
    rsvg-convert "$svg" -o "$name.png"
    echo "rendered $name.png"
done

#!/bin/sh
# Renders the window's images from the SVG sources in this folder into the
# folder above. The results are committed, so building the program never
# needs these tools: run this only after changing a source.
# Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert.
set -eu
src=$(cd "$(dirname "$0")" && pwd)
out=$(dirname "$src")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# png NAME WIDTH HEIGHT: transparent PNG straight from the SVG
png() {
    rsvg-convert -w "$2" -h "$3" "$src/$1.svg" -o "$tmp/$1.png"
    convert "$tmp/$1.png" -strip -define png:exclude-chunks=date,time "$out/$1.png"
}

# jpg NAME: the product pictures share the instrument's front (panel.inc)
jpg() {
    sed -e "/@PANEL@/{r $src/panel.inc" -e 'd;}' "$src/$1.svg.in" > "$tmp/$1.svg"
    rsvg-convert -w 1920 -h 600 -b white "$tmp/$1.svg" -o "$tmp/$1.png"
    convert "$tmp/$1.png" -strip -quality 88 -sampling-factor 4:2:0 "$out/$1.jpg"
}

png ostrelLogo 1629 306
png facebook 512 512
png instagram 1500 1500
jpg product1
jpg product2
jpg product3

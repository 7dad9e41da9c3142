#!/bin/sh
# Renders the 256 px application icon from its SVG source. The PNG is
# committed, so building and packaging never need these tools: run this only
# after changing the SVG. Needs rsvg-convert (librsvg2-bin) and ImageMagick's
# convert.
set -eu
dir=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

rsvg-convert -w 256 -h 256 "$dir/nvx7300toolkit.svg" -o "$tmp/icon.png"
convert "$tmp/icon.png" -strip -define png:exclude-chunks=date,time "$dir/nvx7300toolkit-256.png"

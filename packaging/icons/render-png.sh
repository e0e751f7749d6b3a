#!/usr/bin/env bash
# Renders the window and menu icons from the drawing; run after changing sondrel.svg and commit the
# PNGs, so that building needs no converter. Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 48 256; do
  rsvg-convert --width "$size" --height "$size" sondrel.svg --output "sondrel-$size.png"
done

#!/usr/bin/env bash
# Renders dist/icons/talmo.svg to the PNG sizes of the hicolor theme
# (dist/icons/<N>x<N>/talmo.png). Needs rsvg-convert (Debian librsvg2-bin).
# The PNGs are kept in the repository; run this after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")/../dist/icons"
for n in 16 32 48 256; do
  mkdir -p "${n}x${n}"
  rsvg-convert -w "$n" -h "$n" talmo.svg -o "${n}x${n}/talmo.png"
done

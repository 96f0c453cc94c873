#!/usr/bin/env bash
# Renders the theme's PNGs from corvane.svg, and the picture of the desktop entry in
# docs/screenshots: the 48 px PNG at its own size on a menu's neutral background with the
# entry's name below. Run by hand when the drawing changes (needs librsvg2-bin and
# fonts-dejavu-core); the results are committed.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" corvane.svg -o "corvane-$size.png"
done

icon="$(base64 -w0 corvane-48.png)"
cat > /tmp/corvane-entry.svg <<SVG
<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink"
     width="112" height="96" viewBox="0 0 112 96">
  <rect width="112" height="96" fill="#eeeeec"/>
  <rect x="8" y="4" width="96" height="88" rx="6" fill="#dcdcd8"/>
  <image x="32" y="12" width="48" height="48" xlink:href="data:image/png;base64,$icon"/>
  <text x="56" y="80" font-family="DejaVu Sans" font-size="13" fill="#2e3436"
        text-anchor="middle">Corvane</text>
</svg>
SVG
rsvg-convert /tmp/corvane-entry.svg -o ../../docs/screenshots/desktop-entry-48.png
rm -f /tmp/corvane-entry.svg

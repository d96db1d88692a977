#!/usr/bin/env bash
# Renders the committed PNG icons from lumivar.svg (run after editing the SVG).
# Needs gdk-pixbuf-thumbnailer (libgdk-pixbuf2.0-bin) with the SVG loader (librsvg2-common).
set -euo pipefail
cd "$(dirname "$0")"
for size in 48 128; do
  gdk-pixbuf-thumbnailer -s "$size" lumivar.svg "lumivar-$size.png"
done

#!/usr/bin/env bash
# Renders the PNG icons (48, 128 and 256 px) from torvelin-recovery.svg. The PNGs
# are committed, so building needs no SVG renderer; run this after changing the SVG.
# Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 48 128 256; do
  rsvg-convert -w "$size" -h "$size" -o "icons/torvelin-recovery-$size.png" torvelin-recovery.svg
done

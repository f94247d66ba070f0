#!/usr/bin/env bash
# Draws LOGO.GIF (80x80, shown at 40x40), the bell shown in the page header and as the page icon.
# Needs ImageMagick (in the setup script's list). The GIF is committed; run this only
# to change it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
# Drawn at four times the size and scaled down for smooth edges; the corners are
# filled with the header's colour because GIF transparency has no soft edges.
convert -size 160x160 xc:'#1f2937' \
  -fill '#c62828' -draw "roundrectangle 0,0 159,159 32,32" \
  -fill white \
  -draw "path 'M 80 26 C 56 26 46 46 46 70 L 46 98 L 34 114 L 126 114 L 114 98 L 114 70 C 114 46 104 26 80 26 Z'" \
  -draw "circle 80,126 80,138" \
  -draw "circle 80,24 80,32" \
  -resize 80x80 -colors 32 +dither LOGO.GIF

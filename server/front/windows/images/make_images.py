#!/usr/bin/env python3
"""Draws the about window's nine animation frames and the program icon.

The frames are 32 x 32 pixels in 16 colours (the classic VGA palette), on the
teal of the about window so that they sit on it without a seam:

  frame 0       the alarm bell, its lamp dark
  frame 1       the bell lit
  frames 2..8   the bell rings: the clapper swings and sound waves spread out,
                frame 8 (held until the window closes) rings at full strength

The icon is the ringing bell on a transparent ground, at 16, 32, 48 and 64
pixels. Only the standard library is used; run it from anywhere:

  python3 make_images.py [output directory]
"""

import math
import os
import struct
import sys
import zlib

# The 16 colours, in the usual order.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GREY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)
TRANSPARENT = -1


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png_indexed(path, pixels, size):
    """A 4-bit palette PNG: exactly 16 colours."""
    raw = bytearray()
    for y in range(size):
        raw.append(0)  # filter: none
        row = pixels[y]
        for x in range(0, size, 2):
            raw.append((row[x] << 4) | row[x + 1])
    png = b"\x89PNG\r\n\x1a\n"
    png += png_chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 4, 3, 0, 0, 0))
    png += png_chunk(b"PLTE", b"".join(bytes(c) for c in PALETTE))
    png += png_chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += png_chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def write_png_rgba(path, pixels, size):
    raw = bytearray()
    for y in range(size):
        raw.append(0)
        for index in pixels[y]:
            if index == TRANSPARENT:
                raw += b"\0\0\0\0"
            else:
                raw += bytes(PALETTE[index]) + b"\xff"
    png = b"\x89PNG\r\n\x1a\n"
    png += png_chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
    png += png_chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += png_chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


# ---- the drawing, in a 32-unit square; sampled at pixel centres ---------------------

CX = 16.0  # the bell's axis


def bell_half_width(y):
    """Half the width of the bell's body at height y (None outside it)."""
    if 7.0 <= y < 10.0:  # the dome
        t = (y - 7.0) / 3.0
        return 2.5 + 3.0 * math.sin(t * math.pi / 2)
    if 10.0 <= y < 19.0:  # the waist, widening towards the mouth
        t = (y - 10.0) / 9.0
        return 5.5 + 1.5 * t * t
    if 19.0 <= y < 22.0:  # the flare
        t = (y - 19.0) / 3.0
        return 7.0 + 3.0 * t
    if 22.0 <= y < 24.0:  # the rim
        return 10.0
    return None


def shade_bell(x, y, lit):
    """Colour of a point of the bell, or None when the point is outside it."""
    hw = bell_half_width(y)
    if hw is None:
        return None
    dx = x - CX
    if abs(dx) > hw:
        return None
    if abs(dx) > hw - 1.0 or y >= 23.0 or y < 8.0:
        return BLACK  # outline
    if 22.0 <= y < 23.0:
        return OLIVE if not lit else YELLOW if dx < 4 else OLIVE
    rel = dx / hw
    if not lit:
        return GREY if rel < -0.45 else OLIVE if rel < 0.35 else BLACK if rel > 0.8 else OLIVE
    if rel < -0.55 and 10.0 <= y < 20.0:
        return WHITE  # highlight
    return YELLOW if rel < 0.35 else OLIVE


def in_disc(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def draw_scene(size, frame, background):
    """frame: 0 dark, 1 lit, 2..8 ringing; returns rows of palette indexes."""
    s = 32.0 / size
    lit = frame >= 1
    ringing = max(0, frame - 1)  # 0 .. 7
    # The clapper swings left and right while ringing and comes to rest in frame 8.
    swing = {0: 0.0, 1: -2.0, 2: 2.0, 3: -2.0, 4: 2.0, 5: -1.0, 6: 1.0, 7: 0.0}[ringing]
    # Sound waves: arcs on both sides; more of them, further out, as the ringing grows.
    wave_count = {0: 0, 1: 1, 2: 1, 3: 2, 4: 2, 5: 3, 6: 3, 7: 3}[ringing]
    wave_push = {0: 0.0, 1: 0.0, 2: 1.0, 3: 0.0, 4: 1.0, 5: 0.0, 6: 0.5, 7: 0.5}[ringing]
    waves = [11.0 + 2.2 * j + wave_push for j in range(wave_count)]
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            x = (px + 0.5) * s
            y = (py + 0.5) * s
            colour = background
            # waves behind the bell
            if lit:
                d = math.hypot(x - CX, y - 15.0)
                ang = abs(math.degrees(math.atan2(y - 15.0, abs(x - CX))))
                for j, r in enumerate(waves):
                    if abs(d - r) <= 0.55 and ang <= 38.0:
                        colour = WHITE if j == 0 else YELLOW if j == 1 else AQUA
            # the knob on top
            if in_disc(x, y, CX, 6.0, 1.9):
                colour = BLACK if not in_disc(x, y, CX, 6.0, 1.0) else (YELLOW if lit else OLIVE)
            # the clapper under the mouth
            if in_disc(x, y, CX + swing, 25.6, 2.1):
                colour = BLACK if not in_disc(x, y, CX + swing, 25.6, 1.2) else (RED if lit else MAROON)
            b = shade_bell(x, y, lit)
            if b is not None:
                colour = b
            # the lamp on the bell's shoulder: the alarm light
            if in_disc(x, y, CX, 14.5, 2.2):
                colour = BLACK if not in_disc(x, y, CX, 14.5, 1.4) else (RED if lit else MAROON)
                if lit and in_disc(x, y, CX - 0.6, 13.9, 0.5):
                    colour = WHITE
            row.append(colour)
        rows.append(row)
    return rows


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(out, exist_ok=True)
    for frame in range(9):
        write_png_indexed(os.path.join(out, "velmar%d.png" % frame), draw_scene(32, frame, TEAL), 32)
    for size in (16, 32, 48, 64):
        write_png_rgba(os.path.join(out, "velweb_%d.png" % size), draw_scene(size, 8, TRANSPARENT), size)


if __name__ == "__main__":
    main()

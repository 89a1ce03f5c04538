#!/usr/bin/env python3
"""Draws the launcher's splash pictures (and, on request, the program icon); checks a studio's
own pictures and makes its icon.

    tools/make_artwork.py [--out resources] [--icon resources/launcher.ico]
    tools/make_artwork.py --check DIR
    tools/make_artwork.py --icon-from DIR/icon.png --icon launcher.ico

Writes background.png (856x552, 8-bit palette, 28 transparency entries), bar_track.png and
bar_fill.png (656x14, 8-bit RGBA). The renderer draws the bar at (50, 520) without scaling, so
the sizes, the opaque bar area of the background and the transparent rows and columns of the bar
pictures are fixed; the rest is free artwork.

--check reads background.png, bar_track.png, bar_fill.png and icon.png (256x256) in DIR as the
launcher's decoders would and prints one line per problem, ending with 1 if there is any.
--icon-from makes a 256x256 PNG into an icon of the sizes Windows shows (16 to 256 pixels).
Python standard library only.
"""

import argparse
import math
import os
import struct
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import png_reader  # noqa: E402

BG_W, BG_H = 856, 552
BAR_W, BAR_H = 656, 14
BAR_X, BAR_Y = 50, 520
FILL_RGB = (63, 216, 77)


# --- PNG writing ---------------------------------------------------------------------------


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png_bytes(width, height, color_type, rows, extra_chunks=()):
    """rows: one bytes object per row, already in the colour type's sample layout."""
    header = struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0)
    raw = b"".join(b"\x00" + row for row in rows)
    out = [b"\x89PNG\r\n\x1a\n", chunk(b"IHDR", header)]
    out += list(extra_chunks)
    out.append(chunk(b"IDAT", zlib.compress(raw, 9)))
    out.append(chunk(b"IEND", b""))
    return b"".join(out)


def text_chunks():
    return [
        chunk(b"tEXt", b"Software\x00launcher tools/make_artwork.py"),
        chunk(b"tEXt", b"Comment\x00Splash progress bar layer"),
    ]


def rgba_png(pixels, width, height):
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            row += bytes(pixels[y][x])
        rows.append(bytes(row))
    return png_bytes(width, height, 6, rows, text_chunks())


# --- Shapes as coverage ---------------------------------------------------------------------


def clamp01(v):
    return 0.0 if v < 0.0 else 1.0 if v > 1.0 else v


def rounded_box_distance(px, py, x0, y0, x1, y1, radius):
    """Signed distance from (px, py) to a rounded rectangle; negative inside."""
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - radius, (y1 - y0) / 2.0 - radius
    qx, qy = abs(px - cx) - hx, abs(py - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def capsule_coverage(px, py, x0, y0, x1, y1):
    radius = (y1 - y0) / 2.0
    return clamp01(0.5 - rounded_box_distance(px, py, x0, y0, x1, y1, radius))


# --- Bar pictures ---------------------------------------------------------------------------


def bar_track():
    """Black capsule over rows 0-12; row 13 stays clear."""
    pixels = []
    for y in range(BAR_H):
        row = []
        for x in range(BAR_W):
            a = 0.0 if y == 13 else capsule_coverage(x + 0.5, y + 0.5, 0, 0, BAR_W, 13)
            # Rows 0-12 are fully covered between the rounded ends.
            row.append((0, 0, 0, round(a * 255)))
        pixels.append(row)
    return rgba_png(pixels, BAR_W, BAR_H)


def bar_fill():
    """Green capsule over columns 1-654 and rows 1-11; the border around it stays clear."""
    pixels = []
    for y in range(BAR_H):
        row = []
        for x in range(BAR_W):
            if x in (0, BAR_W - 1) or y in (0, 12, 13):
                a = 0.0
            else:
                a = capsule_coverage(x + 0.5, y + 0.5, 1, 1, BAR_W - 1, 12)
            alpha = round(a * 255)
            row.append(FILL_RGB + (alpha,) if alpha else (0, 0, 0, 0))
        pixels.append(row)
    return rgba_png(pixels, BAR_W, BAR_H)


# --- Background -----------------------------------------------------------------------------

# Palette: 0 clear; 1-13 dark outline at rising alpha; 14-26 golden glow at rising alpha;
# 27 the single alpha-254 pixel in the bar groove; 28-255 opaque colours.
EDGE_LEVELS = 13
GLOW_LEVELS = 13
EDGE_RGB = (22, 30, 46)
GLOW_RGB = (255, 214, 120)
IDX_ALPHA254 = 27
BODY_BASE, BODY_COUNT = 28, 96  # vertical blue-grey gradient
GOLD_BASE, GOLD_COUNT = 124, 96  # dome gradient
IDX_BORDER = 220
IDX_GROOVE = 221
IDX_GROOVE_RIM = 222
IDX_EMBLEM = 223
IDX_EMBLEM_LIGHT = 224


def lerp(a, b, t):
    return tuple(round(a[i] + (b[i] - a[i]) * t) for i in range(3))


def background_palette():
    palette = [(0, 0, 0)] * 256
    alphas = [0] * 28
    for k in range(1, EDGE_LEVELS + 1):
        palette[k] = EDGE_RGB
        alphas[k] = round(k * 255 / (EDGE_LEVELS + 1))
    for k in range(1, GLOW_LEVELS + 1):
        palette[EDGE_LEVELS + k] = GLOW_RGB
        alphas[EDGE_LEVELS + k] = round(k * 230 / GLOW_LEVELS)
    palette[IDX_ALPHA254] = (10, 14, 22)
    alphas[IDX_ALPHA254] = 254
    for i in range(BODY_COUNT):
        palette[BODY_BASE + i] = lerp((46, 62, 92), (14, 19, 30), i / (BODY_COUNT - 1))
    for i in range(GOLD_COUNT):
        palette[GOLD_BASE + i] = lerp((250, 208, 112), (150, 96, 30), i / (GOLD_COUNT - 1))
    palette[IDX_BORDER] = (92, 120, 168)
    palette[IDX_GROOVE] = (10, 14, 22)
    palette[IDX_GROOVE_RIM] = (70, 92, 130)
    palette[IDX_EMBLEM] = (110, 62, 18)
    palette[IDX_EMBLEM_LIGHT] = (255, 240, 190)
    for i in range(IDX_EMBLEM_LIGHT + 1, 256):
        palette[i] = (255, 255, 255)
    return palette, alphas


BODY = (0.0, 148.0, 834.0, 552.0, 40.0)
DOME_CX, DOME_TOP, DOME_R = 272.5, 61.0, 122.5
DOME_CY = DOME_TOP + DOME_R
HALO = 18.0


def background_index(x, y):
    px, py = x + 0.5, y + 0.5
    d_body = rounded_box_distance(px, py, *BODY)
    d_dome = math.hypot(px - DOME_CX, py - DOME_CY) - DOME_R
    d = min(d_body, d_dome)
    cover = clamp01(0.5 - d)

    if cover >= 1.0:
        return opaque_index(x, y, px, py, d_body, d_dome)

    glow = 0.0
    if 0.0 < d_dome <= HALO and py < DOME_CY:
        glow = 0.55 * (1.0 - d_dome / HALO) ** 2
    # A beam of light rising from the dome's crown to near the top edge.
    if 4.0 <= py < DOME_TOP and abs(px - DOME_CX) < 2.5:
        strength = 0.2 + 0.7 * (py - 4.0) / (DOME_TOP - 4.0)
        glow = max(glow, strength * clamp01(2.5 - abs(px - DOME_CX)) / 2.5 * 1.6)
    glow = min(glow, 0.99)

    if cover > 0.0 and cover >= glow:
        level = min(EDGE_LEVELS, max(1, round(cover * (EDGE_LEVELS + 1))))
        return level
    if glow > 0.0:
        level = min(GLOW_LEVELS, max(1, round(glow / 0.99 * GLOW_LEVELS)))
        return EDGE_LEVELS + level
    return 0


def opaque_index(x, y, px, py, d_body, d_dome):
    if (x, y) == (102, 521):
        return IDX_ALPHA254
    # Groove behind the bar, with a lighter rim one pixel outside it.
    gx0, gy0, gx1, gy1 = BAR_X - 3, BAR_Y - 3, BAR_X + BAR_W + 3, BAR_Y + BAR_H + 3
    if gx0 <= x < gx1 and gy0 <= y < gy1:
        return IDX_GROOVE
    if gx0 - 1 <= x < gx1 + 1 and gy0 - 1 <= y < gy1 + 1:
        return IDX_GROOVE_RIM
    if d_dome < 0.0 and py < BODY[1] + 2.0 or (d_dome < -4.0 and d_body > -8.0 and py < DOME_CY):
        return emblem_index(px, py, d_dome)
    if -7.0 <= d_body < -6.0 and d_dome > 0.0:
        return IDX_BORDER
    t = (py - BODY[1]) / (BODY[3] - BODY[1])
    return BODY_BASE + min(BODY_COUNT - 1, max(0, int(t * BODY_COUNT)))


def emblem_index(px, py, d_dome):
    # A diamond in the dome's crown, lit on its upper half.
    dx, dy = abs(px - DOME_CX), abs(py - (DOME_CY - 62.0))
    if dx / 34.0 + dy / 44.0 <= 1.0:
        return IDX_EMBLEM_LIGHT if py < DOME_CY - 62.0 and dx / 34.0 + dy / 44.0 <= 0.55 else IDX_EMBLEM
    if -3.0 <= d_dome < -2.0:
        return IDX_EMBLEM
    t = (py - DOME_TOP) / (DOME_R * 1.2)
    return GOLD_BASE + min(GOLD_COUNT - 1, max(0, int(t * GOLD_COUNT)))


def background():
    palette, alphas = background_palette()
    rows = [bytes(background_index(x, y) for x in range(BG_W)) for y in range(BG_H)]
    plte = chunk(b"PLTE", b"".join(bytes(c) for c in palette))
    trns = chunk(b"tRNS", bytes(alphas))
    return png_bytes(BG_W, BG_H, 3, rows, [plte, trns]), rows, alphas


# --- Icon -----------------------------------------------------------------------------------


def icon_ico():
    """128x128 32-bit icon: a dark rounded square with a green bar; stored as PNG inside ICO."""
    size = 128
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            px, py = x + 0.5, y + 0.5
            a = clamp01(0.5 - rounded_box_distance(px, py, 4, 4, 124, 124, 24))
            bar = capsule_coverage(px, py, 20, 80, 108, 96)
            rgb = lerp((46, 62, 92), FILL_RGB, bar)
            row.append(rgb + (round(a * 255),))
        pixels.append(row)
    image = rgba_png(pixels, size, size)
    header = struct.pack("<HHH", 0, 1, 1)
    # Width and height bytes give the size itself: 0 would announce a 256-pixel image.
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 6 + 16)
    return header + entry + image


# --- A studio's own pictures ---------------------------------------------------------------

ICON_SIZE = 256
ICON_SIZES = (256, 128, 64, 48, 32, 24, 16)
# The pictures a studio's folder holds, their sizes and what needs those sizes.
STUDIO_PICTURES = (
    ("background.png", BG_W, BG_H, "the splash window takes its size and shape from it"),
    ("bar_track.png", BAR_W, BAR_H, "the bar is drawn at (50, 520) without scaling"),
    ("bar_fill.png", BAR_W, BAR_H, "the bar is drawn at (50, 520) without scaling"),
    ("icon.png", ICON_SIZE, ICON_SIZE, "the smaller icon sizes are made from it"),
)


def read_picture(path):
    """The file's RGBA rows, or PngError saying what is wrong with it."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise png_reader.PngError("cannot be read (%s)" % error.strerror)
    png = png_reader.read_png(data)
    return png, png_reader.rgba_rows(png)


def check_artwork(folder):
    """One line per problem with the studio's pictures in folder; none when all can be used."""
    problems = []
    for name, width, height, reason in STUDIO_PICTURES:
        path = os.path.join(folder, name)
        try:
            png, _ = read_picture(path)
        except png_reader.PngError as error:
            problems.append("%s: %s" % (path, error))
            continue
        if (png.width, png.height) != (width, height):
            problems.append("%s: %d x %d pixels, where %d x %d are needed (%s)"
                            % (path, png.width, png.height, width, height, reason))
    return problems


def area_weights(source, target):
    """For each target column, the source columns it covers and the share of each."""
    scale = source / target
    weights = []
    for i in range(target):
        start, end = i * scale, (i + 1) * scale
        covered = []
        j = int(start)
        while j < end:
            share = min(end, j + 1) - max(start, j)
            if share > 1e-9:
                covered.append((j, share / scale))
            j += 1
        weights.append(covered)
    return weights


def shrink(rows, size):
    """A square RGBA picture scaled down to size x size by area averaging, on premultiplied
    colours so that transparent pixels lend no colour to the edges."""
    premultiplied = [[(r * a, g * a, b * a, a) for r, g, b, a in row] for row in rows]
    weights = area_weights(len(rows), size)

    def pass_over(line):
        return [tuple(sum(line[j][c] * w for j, w in covered) for c in range(4))
                for covered in weights]

    across = [pass_over(row) for row in premultiplied]
    columns = [pass_over([across[y][x] for y in range(len(across))]) for x in range(size)]
    out = []
    for y in range(size):
        row = []
        for x in range(size):
            r, g, b, a = columns[x][y]
            alpha = min(255, round(a))
            row.append(tuple(min(255, round(c / a)) for c in (r, g, b)) + (alpha,) if alpha
                       else (0, 0, 0, 0))
        out.append(row)
    return out


def bmp_icon_image(rows):
    """An icon image as Windows stores the small sizes: a 32-bit DIB, bottom-up, then the AND
    mask (a set bit for each fully transparent pixel)."""
    size = len(rows)
    mask_stride = (size + 31) // 32 * 4
    colours = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            colours += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0,
                         len(colours) + len(mask), 0, 0, 0, 0)
    return header + bytes(colours) + bytes(mask)


def icon_from_png(path):
    """The .ico of a studio's 256x256 icon.png: the 256 size as PNG, the smaller ones as DIBs."""
    png, rows = read_picture(path)
    if (png.width, png.height) != (ICON_SIZE, ICON_SIZE):
        raise png_reader.PngError("%d x %d pixels, where %d x %d are needed"
                                  % (png.width, png.height, ICON_SIZE, ICON_SIZE))
    images = []
    for size in ICON_SIZES:
        if size == ICON_SIZE:
            images.append(rgba_png(rows, size, size))
        else:
            images.append(bmp_icon_image(shrink(rows, size)))
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, image in zip(ICON_SIZES, images):
        # A width or height byte of 0 means 256.
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return header + entries + b"".join(images)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "resources"))
    parser.add_argument("--icon", help="also write the 128x128 program icon (.ico) here")
    parser.add_argument("--stats", action="store_true", help="print the background's alpha counts")
    parser.add_argument("--check", metavar="DIR", help="check a studio's pictures in DIR")
    parser.add_argument("--icon-from", metavar="PNG",
                        help="write the icon (--icon) from this 256x256 picture instead of drawing it")
    args = parser.parse_args()

    if args.check:
        problems = check_artwork(args.check)
        for problem in problems:
            print(problem, file=sys.stderr)
        return 1 if problems else 0
    if args.icon_from:
        if not args.icon:
            parser.error("--icon-from needs --icon")
        try:
            icon = icon_from_png(args.icon_from)
        except png_reader.PngError as error:
            print("%s: %s" % (args.icon_from, error), file=sys.stderr)
            return 1
        with open(args.icon, "wb") as f:
            f.write(icon)
        return 0

    os.makedirs(args.out, exist_ok=True)
    bg, rows, alphas = background()
    with open(os.path.join(args.out, "background.png"), "wb") as f:
        f.write(bg)
    with open(os.path.join(args.out, "bar_track.png"), "wb") as f:
        f.write(bar_track())
    with open(os.path.join(args.out, "bar_fill.png"), "wb") as f:
        f.write(bar_fill())
    if args.icon:
        with open(args.icon, "wb") as f:
            f.write(icon_ico())
    if args.stats:
        clear = sum(row.count(0) for row in rows)
        partial = sum(1 for row in rows for i in row if 0 < i < 28 and alphas[i] < 255)
        print(f"transparent {clear}, partly transparent {partial}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

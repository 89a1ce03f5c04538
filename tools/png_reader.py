"""Reads PNG files: checks one as strictly as a decoder that refuses damage (every chunk's CRC,
the header's values, the chunks' order, the image data inflated to exactly the size the header
announces with valid filter types), and decodes it to 8-bit RGBA rows. Any valid PNG is read:
every colour type and bit depth, interlaced or not. Python standard library only.
"""

import struct
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"
# Colour type: (channels, the bit depths allowed).
COLOUR_TYPES = {0: (1, (1, 2, 4, 8, 16)), 2: (3, (8, 16)), 3: (1, (1, 2, 4, 8)),
                4: (2, (8, 16)), 6: (4, (8, 16))}
# Adam7: (first column, first row, column step, row step) of each pass.
MAX_PIXELS = 1 << 26
ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2))


class PngError(Exception):
    """What is wrong with the file, in words for the person who made it."""


class Png:
    def __init__(self, width, height, depth, colour_type, interlaced, palette, transparency,
                 data):
        self.width, self.height = width, height
        self.depth, self.colour_type, self.interlaced = depth, colour_type, interlaced
        self.palette, self.transparency = palette, transparency
        self.data = data  # the inflated image data, filter bytes included


def _chunks(data):
    if not data.startswith(SIGNATURE):
        raise PngError("not a PNG file (it does not start with the PNG signature)")
    at = len(SIGNATURE)
    while at < len(data):
        if at + 12 > len(data):
            raise PngError("cut short inside a chunk")
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        end = at + 12 + length
        if length > 0x7FFFFFFF or end > len(data):
            raise PngError("cut short: chunk %s runs past the end of the file"
                           % kind.decode("latin-1"))
        body = data[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length:end])
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            raise PngError("damaged: chunk %s fails its CRC" % kind.decode("latin-1"))
        yield kind, body
        at = end


def _passes(png):
    """(first column, first row, column step, row step, width, height) of each pass the image
    data holds; an interlaced picture leaves its empty passes out."""
    if not png.interlaced:
        return [(0, 0, 1, 1, png.width, png.height)]
    passes = []
    for x0, y0, dx, dy in ADAM7:
        w = (png.width - x0 + dx - 1) // dx if png.width > x0 else 0
        h = (png.height - y0 + dy - 1) // dy if png.height > y0 else 0
        if w and h:
            passes.append((x0, y0, dx, dy, w, h))
    return passes


def _row_bytes(png, width):
    channels = COLOUR_TYPES[png.colour_type][0]
    return (width * channels * png.depth + 7) // 8


def read_png(data):
    """The checked picture, or PngError saying what is wrong."""
    header = palette = transparency = None
    idat = []
    idat_state = "before"  # then "inside" the run of IDAT chunks, then "after" it
    ended = False
    for kind, body in _chunks(data):
        if ended:
            raise PngError("data after the IEND chunk")
        if header is None and kind != b"IHDR":
            raise PngError("the first chunk is %s, not IHDR" % kind.decode("latin-1"))
        if kind == b"IDAT":
            if idat_state == "after":
                raise PngError("IDAT chunks that are not consecutive")
            idat_state = "inside"
            idat.append(body)
            continue
        if idat_state == "inside":
            idat_state = "after"
        if kind == b"IHDR":
            if header is not None or len(body) != 13:
                raise PngError("a second or malformed IHDR chunk")
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            if palette is not None or idat_state != "before" or len(body) % 3 or \
                    not 3 <= len(body) <= 768:
                raise PngError("a malformed or misplaced PLTE chunk")
            palette = [tuple(body[i:i + 3]) for i in range(0, len(body), 3)]
        elif kind == b"tRNS":
            transparency = body
        elif kind == b"IEND":
            ended = True
        elif kind[0] & 0x20 == 0:
            raise PngError("an unknown critical chunk %s" % kind.decode("latin-1"))
    if header is None:
        raise PngError("no IHDR chunk")
    if not ended:
        raise PngError("cut short: no IEND chunk")
    if not idat:
        raise PngError("no image data (IDAT chunk)")
    width, height, depth, colour_type, compression, filtering, interlace = header
    if not (0 < width < 2 ** 31 and 0 < height < 2 ** 31):
        raise PngError("a width or height of 0")
    if width * height > MAX_PIXELS:
        # Inflating it whole could take gigabytes; no picture the launcher carries is near this.
        raise PngError("%d x %d pixels, far larger than any picture the launcher carries"
                       % (width, height))
    if colour_type not in COLOUR_TYPES or depth not in COLOUR_TYPES[colour_type][1]:
        raise PngError("colour type %d with bit depth %d, which PNG does not define"
                       % (colour_type, depth))
    if compression != 0 or filtering != 0 or interlace not in (0, 1):
        raise PngError("an unknown compression, filter or interlace method")
    if colour_type == 3 and palette is None:
        raise PngError("a palette picture without a PLTE chunk")
    if colour_type in (0, 4) and palette is not None:
        raise PngError("a PLTE chunk in a grey picture")
    if transparency is not None:
        expected = {0: 2, 2: 6}.get(colour_type)
        if colour_type in (4, 6) or (expected is not None and len(transparency) != expected) or \
                (colour_type == 3 and len(transparency) > len(palette)):
            raise PngError("a tRNS chunk that does not fit the colour type")
    png = Png(width, height, depth, colour_type, interlace == 1, palette, transparency, b"")
    expected = sum(h * (1 + _row_bytes(png, w)) for _, _, _, _, w, h in _passes(png))
    inflater = zlib.decompressobj()
    try:
        png.data = inflater.decompress(b"".join(idat), expected + 1)
    except zlib.error as error:
        raise PngError("damaged image data (%s)" % error)
    if len(png.data) < expected:
        raise PngError("image data of %d bytes where the header announces %d"
                       % (len(png.data), expected))
    if len(png.data) > expected or not inflater.eof:
        raise PngError("image data that does not end where the header says it should")
    at = 0
    for _, _, _, _, w, h in _passes(png):
        step = 1 + _row_bytes(png, w)
        for _ in range(h):
            if png.data[at] > 4:
                raise PngError("an unknown row filter type %d" % png.data[at])
            at += step
    return png


def _unfilter(png, width, height, data, at):
    """The pass's rows without their filters, and where the next pass starts."""
    channels = COLOUR_TYPES[png.colour_type][0]
    bpp = max(1, channels * png.depth // 8)
    stride = _row_bytes(png, width)
    previous = bytearray(stride)
    rows = []
    for _ in range(height):
        kind = data[at]
        row = bytearray(data[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            left = row[i - bpp] if i >= bpp else 0
            up = previous[i]
            if kind == 1:
                row[i] = (row[i] + left) & 0xFF
            elif kind == 2:
                row[i] = (row[i] + up) & 0xFF
            elif kind == 3:
                row[i] = (row[i] + ((left + up) >> 1)) & 0xFF
            elif kind == 4:
                corner = previous[i - bpp] if i >= bpp else 0
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                predictor = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                row[i] = (row[i] + predictor) & 0xFF
        rows.append(row)
        previous = row
    return rows, at


def _samples(png, row, width):
    """The row's samples as stored: palette indices, or values of the picture's bit depth."""
    count = width * COLOUR_TYPES[png.colour_type][0]
    if png.depth == 16:
        return list(struct.unpack(">%dH" % count, bytes(row[:2 * count])))
    if png.depth == 8:
        return list(row[:count])
    per_byte = 8 // png.depth
    mask = (1 << png.depth) - 1
    return [(row[i // per_byte] >> (8 - png.depth * (i % per_byte + 1))) & mask
            for i in range(count)]


def rgba_rows(png):
    """The picture as rows of 8-bit RGBA pixels, each a tuple (r, g, b, a)."""
    image = [[None] * png.width for _ in range(png.height)]
    top = (1 << png.depth) - 1
    # tRNS: an alpha per palette entry, or the one grey or RGB value that is transparent.
    alphas = list(png.transparency or b"")
    key = None
    if png.transparency is not None and png.colour_type in (0, 2):
        key = struct.unpack(">%dH" % (len(png.transparency) // 2), png.transparency)
    at = 0
    for x0, y0, dx, dy, w, h in _passes(png):
        rows, at = _unfilter(png, w, h, png.data, at)
        for j, row in enumerate(rows):
            samples = _samples(png, row, w)
            if png.colour_type == 3:
                if max(samples) >= len(png.palette):
                    raise PngError("a palette index past the end of the palette")
                pixels = [png.palette[v] + (alphas[v] if v < len(alphas) else 255,)
                          for v in samples]
            else:
                channels = COLOUR_TYPES[png.colour_type][0]
                scaled = [v * 255 // top for v in samples]
                pixels = []
                for i in range(w):
                    raw = tuple(samples[channels * i:channels * (i + 1)])
                    value = scaled[channels * i:channels * (i + 1)]
                    if png.colour_type in (0, 4):
                        value = [value[0]] * 3 + value[1:]
                    if len(value) == 3:
                        value.append(0 if key is not None and raw == key else 255)
                    pixels.append(tuple(value))
            target = image[y0 + j * dy]
            for i, pixel in enumerate(pixels):
                target[x0 + i * dx] = pixel
    return image

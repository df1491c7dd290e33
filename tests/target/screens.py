"""Screen pictures of the target runs: QEMU screendumps (PPM) and PNG files, all
brought to RGB565 so that a dump of the emulated PL111 and a picture written by
upgsim compare value for value, whatever way each expanded 5/6-bit channels."""

import struct
import zlib


class Picture:
    """An RGB565 picture: width, height and the pixels as bytes, 2 per pixel
    (big-endian 16-bit values, so equal pictures have equal bytes)."""

    def __init__(self, width, height, pixels):
        self.width = width
        self.height = height
        self.pixels = pixels

    def __eq__(self, other):
        return (self.width, self.height, self.pixels) == (other.width, other.height, other.pixels)

    def at(self, x, y):
        i = 2 * (y * self.width + x)
        return (self.pixels[i] << 8) | self.pixels[i + 1]

    def differences(self, other, limit=10):
        """(count, first few (x, y, mine, theirs)) of the pixels that differ."""
        count = 0
        first = []
        mine, theirs = self.pixels, other.pixels
        for i in range(0, min(len(mine), len(theirs)), 2):
            if mine[i] != theirs[i] or mine[i + 1] != theirs[i + 1]:
                count += 1
                if len(first) < limit:
                    n = i // 2
                    first.append((n % self.width, n // self.width,
                                  (mine[i] << 8) | mine[i + 1], (theirs[i] << 8) | theirs[i + 1]))
        return count, first

    def bounding_box(self, other):
        """Smallest rectangle (x0, y0, x1, y1) holding every differing pixel, or None."""
        box = None
        w = self.width
        for i in range(0, min(len(self.pixels), len(other.pixels)), 2):
            if self.pixels[i:i + 2] != other.pixels[i:i + 2]:
                x, y = (i // 2) % w, (i // 2) // w
                if box is None:
                    box = [x, y, x, y]
                else:
                    box = [min(box[0], x), min(box[1], y), max(box[2], x), max(box[3], y)]
        return tuple(box) if box else None


def _table(f):
    return bytes(f(i) & 0xFF for i in range(256))


def _or(a, b):
    return (int.from_bytes(a, "big") | int.from_bytes(b, "big")).to_bytes(len(a), "big")


_R_HI = _table(lambda v: v & 0xF8)             # red's 5 bits in the high byte
_G_HI = _table(lambda v: v >> 5)               # green's top 3 bits in the high byte
_G_LO = _table(lambda v: (v << 3) & 0xE0)      # green's low 3 bits in the low byte
_B_LO = _table(lambda v: v >> 3)               # blue's 5 bits in the low byte
_HI_R = _table(lambda v: (v & 0xF8) | (v >> 5))
_HI_G = _table(lambda v: (v & 0x07) << 5)      # green bits 5..3 as bits 7..5
_LO_G = _table(lambda v: (v >> 3) & 0x1C)      # green bits 2..0 as bits 4..2
_G6_8 = _table(lambda v: v | (v >> 6))         # repeat the top bits of a 6-bit value in bits 7..2
_LO_B = _table(lambda v: ((v & 0x1F) << 3) | ((v & 0x1F) >> 2))


def rgb888_to_565(rgb):
    """Packed 8-bit RGB to big-endian RGB565 bytes (the high bits of each channel)."""
    rgb = bytes(rgb)
    r, g, b = rgb[0::3], rgb[1::3], rgb[2::3]
    out = bytearray(2 * len(r))
    out[0::2] = _or(r.translate(_R_HI), g.translate(_G_HI))
    out[1::2] = _or(g.translate(_G_LO), b.translate(_B_LO))
    return bytes(out)


def rgb565_to_888(pixels):
    """Big-endian RGB565 bytes to packed 8-bit RGB, each channel's high bits repeated
    into its low bits."""
    hi, lo = pixels[0::2], pixels[1::2]
    out = bytearray(3 * len(hi))
    out[0::3] = hi.translate(_HI_R)
    out[1::3] = _or(hi.translate(_HI_G), lo.translate(_LO_G)).translate(_G6_8)
    out[2::3] = lo.translate(_LO_B)
    return bytes(out)


def read_ppm(data):
    """(width, height, packed RGB bytes) of a binary PPM (P6, maxval 255)."""
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            while data[pos:pos + 1] not in (b"\n", b""):
                pos += 1
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    pos += 1  # the single whitespace byte before the raster
    if fields[0] != b"P6" or fields[3] != b"255":
        raise ValueError("not an 8-bit P6 PPM")
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos:pos + width * height * 3]


def picture_from_ppm(data):
    width, height, rgb = read_ppm(data)
    return Picture(width, height, rgb888_to_565(rgb))


def _chunk(kind, payload):
    body = kind + payload
    return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png(path, picture):
    """8-bit RGB PNG; channels expanded by repeating their high bits, as upgsim does."""
    rgb = rgb565_to_888(picture.pixels)
    stride = 3 * picture.width
    rows = bytearray()
    for y in range(picture.height):
        rows.append(0)
        rows += rgb[y * stride:(y + 1) * stride]
    header = struct.pack(">IIBBBBB", picture.width, picture.height, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) +
                _chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + _chunk(b"IEND", b""))


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def read_png(path):
    """A non-interlaced 8-bit PNG (gray, RGB, palette, with or without alpha) as RGB565."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(f"{path}: not a PNG")
    pos = 8
    idat = bytearray()
    palette = None
    width = height = depth = colour = interlace = None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        payload = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", payload)
        elif kind == b"PLTE":
            palette = payload
        elif kind == b"IDAT":
            idat += payload
        elif kind == b"IEND":
            break
    if depth != 8 or interlace != 0:
        raise ValueError(f"{path}: only 8-bit non-interlaced PNGs are read")
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    stride = width * channels
    raw = zlib.decompress(bytes(idat))
    previous = bytearray(stride)
    rgb = bytearray()
    pos = 0
    for _ in range(height):
        kind = raw[pos]
        line = bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        if kind == 1:
            for i in range(channels, stride):
                line[i] = (line[i] + line[i - channels]) & 0xFF
        elif kind == 2:
            for i in range(stride):
                line[i] = (line[i] + previous[i]) & 0xFF
        elif kind == 3:
            for i in range(stride):
                left = line[i - channels] if i >= channels else 0
                line[i] = (line[i] + ((left + previous[i]) >> 1)) & 0xFF
        elif kind == 4:
            for i in range(stride):
                left = line[i - channels] if i >= channels else 0
                upper_left = previous[i - channels] if i >= channels else 0
                line[i] = (line[i] + _paeth(left, previous[i], upper_left)) & 0xFF
        previous = line
        if colour == 2:
            rgb += line
        elif colour == 6:
            for i in range(0, stride, 4):
                rgb += line[i:i + 3]
        elif colour in (0, 4):
            for i in range(0, stride, channels):
                rgb += bytes((line[i],) * 3)
        else:
            for i in line:
                rgb += palette[3 * i:3 * i + 3]
    return Picture(width, height, rgb888_to_565(bytes(rgb)))

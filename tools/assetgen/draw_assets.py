#!/usr/bin/python3
"""Draws the first version of every picture in assets/ (windows, buttons, spinner
frames, glyphs) with DejaVu Sans, antialiased, in colours that RGB565 holds exactly.

The PNG files it writes are the sources a person edits afterwards; the build never
runs this script. Needs Debian's python3-pil and fonts-dejavu-core.

    /usr/bin/python3 tools/assetgen/draw_assets.py [ASSETS_DIR]

Every wording is placed by its inked area, at the rows and columns where the
upgrade flow expects it, and the script checks that the room left for run-time
drawing (versions, buttons, spinner) stays plain body gray.
"""

import math
import os
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFont

FONT_DIR = "/usr/share/fonts/truetype/dejavu"
SANS = "DejaVuSans.ttf"
SANS_BOLD = "DejaVuSans-Bold.ttf"
SANS_CONDENSED_BOLD = "DejaVuSansCondensed-Bold.ttf"

WINDOW_W, WINDOW_H = 272, 126


def rgb(value565):
    """RGB565 to 8-bit channels, high bits repeated into the low ones."""
    r, g, b = (value565 >> 11) & 31, (value565 >> 5) & 63, value565 & 31
    return ((r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2))


def to565(colour):
    r, g, b = colour[:3]
    return ((r * 31 + 127) // 255) << 11 | ((g * 63 + 127) // 255) << 5 | ((b * 31 + 127) // 255)


BODY = rgb(0xCE79)
BLUE = rgb(0x001C)
WHITE = rgb(0xFFFF)
BLACK = rgb(0x0000)
LIGHT_BLUE = rgb(0x067F)
DIGIT_GRAY = rgb(0x8410)
DOT_GRAY = rgb(0x8430)


def quantize(image):
    """Snaps every pixel to the nearest RGB565 colour, written back as 8-bit."""
    def lut(bits):
        top = (1 << bits) - 1
        table = []
        for v in range(256):
            q = (v * top + 127) // 255
            table.append((q << (8 - bits)) | (q >> (2 * bits - 8)))
        return table
    r, g, b = image.convert("RGB").split()
    return Image.merge("RGB", (r.point(lut(5)), g.point(lut(6)), b.point(lut(5))))


_fonts = {}


def font(name, size):
    key = (name, size)
    if key not in _fonts:
        _fonts[key] = ImageFont.truetype(os.path.join(FONT_DIR, name), size)
    return _fonts[key]


def text_mask(text, fnt, tracking=0.0, space_extra=0.0):
    """Coverage of `text`, cropped to its inked area. Each character sits at its
    own rounded pen position, so the spacing can be stretched or tightened."""
    size = fnt.size
    width = int(sum(fnt.getlength(c) for c in text) + abs(tracking) * len(text) +
                abs(space_extra) * text.count(" ") + 4 * size)
    mask = Image.new("L", (width, 3 * size), 0)
    draw = ImageDraw.Draw(mask)
    pen = float(size)
    for c in text:
        if c != " ":
            draw.text((round(pen), 2 * size), c, font=fnt, fill=255, anchor="ls")
        pen += fnt.getlength(c) + tracking + (space_extra if c == " " else 0.0)
    box = mask.getbbox()
    return mask.crop(box), box[1] - 2 * size  # ink, top of ink relative to the baseline


def pick_size(text, font_name, rows):
    """The font size whose ink of `text` is `rows` high (the closest one)."""
    best = None
    for size in range(8, 48):
        h = text_mask(text, font(font_name, size))[0].height
        if best is None or abs(h - rows) < abs(best[1] - rows):
            best = (size, h)
    return best[0]


def fit(text, font_name, rows, width=None, spaces_first=False, size=None):
    """Ink of `text` `rows` high and, when asked, exactly `width` wide, by
    spreading the difference over the gaps between characters (or over the
    spaces first). Returns (mask, size, tracking, space_extra)."""
    size = size or pick_size(text, font_name, rows)
    fnt = font(font_name, size)
    tracking, space_extra = 0.0, 0.0
    mask = text_mask(text, fnt)[0]
    if width is not None:
        gaps = max(len(text) - 1, 1)
        spaces = text.count(" ")
        for _ in range(40):
            mask = text_mask(text, fnt, tracking, space_extra)[0]
            diff = width - mask.width
            if diff == 0:
                break
            if spaces_first and spaces and fnt.getlength(" ") + space_extra + diff / spaces >= 2:
                space_extra += diff / spaces
            else:
                tracking += diff / gaps
    return mask, size, tracking, space_extra


def put(image, mask, left, top, colour):
    image.paste(colour, (left, top, left + mask.width, top + mask.height), mask)
    return (left, top, left + mask.width - 1, top + mask.height - 1)


def report(name, what, box):
    print(f"  {name}: {what!r} ink columns {box[0]}-{box[2]}, rows {box[1]}-{box[3]}")


def window(name, title="Update !!!"):
    img = Image.new("RGB", (WINDOW_W, WINDOW_H), BLUE)
    draw = ImageDraw.Draw(img)
    # A darker outer line gives the window its edge against any background.
    draw.rectangle([0, 0, WINDOW_W - 1, WINDOW_H - 1], outline=(0, 0, 140))
    # Title bar: lighter along its top edge, fading into the frame blue.
    light = (90, 120, 255)
    for y in range(0, 10):
        t = y / 9.0
        colour = tuple(round(light[i] * (1 - t) + BLUE[i] * t) for i in range(3))
        draw.line([(1, y), (WINDOW_W - 2, y)], fill=colour)
    draw.line([(0, 0), (WINDOW_W - 1, 0)], fill=(40, 70, 230))
    draw.rectangle([3, 23, WINDOW_W - 4, WINDOW_H - 4], fill=BODY)
    mask = fit(title, SANS_BOLD, 16, 99)[0]
    report(name, title, put(img, mask, 85, 5, WHITE))
    return img


def centred_left(mask):
    return (WINDOW_W - mask.width) // 2


def question(img, name):
    mask = fit("ARE YOU SURE ?", SANS, 13, 161)[0]
    report(name, "ARE YOU SURE ?", put(img, mask, 56, 82, BLACK))


def put_on_baseline(image, text, fnt, tracking, left, baseline, colour, right=None):
    """Draws `text` with its baseline under row `baseline` - 1, its ink starting
    at column `left` (or ending at column `right`)."""
    mask, top = text_mask(text, fnt, tracking)
    if right is not None:
        left = right - mask.width + 1
    return put(image, mask, left, baseline + top, colour)


def half_pixel_right(mask):
    """`mask` moved half a pixel to the right: each column shares its coverage
    with the next one, as text drawn between two pixel columns looks."""
    left = Image.new("L", (mask.width + 1, mask.height), 0)
    right = left.copy()
    left.paste(mask, (0, 0))
    right.paste(mask, (1, 0))
    return ImageChops.add(left, right, scale=2.0)


def draw_dlg1():
    img = window("dlg1")
    _, size, tracking, _ = fit("Exist software ver.:", SANS, 14, 170)
    fnt = font(SANS, size)
    for label, left, top in (("Exist software", 15, 32), ("SD software", 14, 52)):
        baseline = top - text_mask(label + " ver.:", fnt, tracking)[1]
        report("dlg1", label, put_on_baseline(img, label, fnt, tracking, left, baseline, BLACK))
        report("dlg1", "ver.:", put_on_baseline(img, "ver.:", fnt, tracking, 0, baseline, BLACK, right=184))
    question(img, "dlg1")
    return img, [(195, 32, 268, 47), (195, 52, 268, 67), (75, 100, 116, 119), (160, 100, 201, 119)]


def draw_dlg2():
    img = window("dlg2")
    _, size, tracking, _ = fit("Present map :", SANS, 17, 124)
    fnt = font(SANS, size)
    for label, top in (("Present map", 33), ("SD map", 53)):
        baseline = top - text_mask(label + " :", fnt, tracking)[1]
        report("dlg2", label, put_on_baseline(img, label, fnt, tracking, 15, baseline, BLACK))
        # At this size the colon's dots fall on two whole columns; half a pixel
        # further right they span the three columns 136-138 of the colon column.
        colon, colon_top = text_mask(":", fnt, tracking)
        colon = half_pixel_right(colon)
        report("dlg2", ":", put(img, colon, 138 - colon.width + 1, baseline + colon_top, BLACK))
    question(img, "dlg2")
    return img, [(150, 35, 268, 50), (150, 56, 268, 71), (75, 100, 116, 119), (160, 100, 201, 119)]


def draw_updating():
    img = window("dlgUpt")
    mask = fit("Updating. . .", SANS, 18, 108, spaces_first=True)[0]
    report("dlgUpt", "Updating. . .", put(img, mask, 74, 34, BLACK))
    return img, [(110, 60, 159, 109)]


def draw_message(name, headline, lines):
    img = window(name)
    mask = fit(headline, SANS_BOLD, 18)[0]
    report(name, headline, put(img, mask, centred_left(mask), 39, BLACK))
    for text, top, rows in lines:
        mask = fit(text, SANS, rows)[0]
        report(name, text, put(img, mask, 13, top, BLACK))
    return img, []


def draw_button(word, focused):
    img = Image.new("RGB", (42, 20), BODY)
    draw = ImageDraw.Draw(img)
    if focused:
        top, bottom = (70, 110, 255), (0, 0, 170)
        for y in range(0, 18):
            t = y / 17.0
            draw.line([(2, y), (39, y)], fill=tuple(round(top[i] * (1 - t) + bottom[i] * t) for i in range(3)))
        draw.rectangle([0, 0, 1, 19], fill=LIGHT_BLUE)
        draw.rectangle([40, 0, 41, 19], fill=LIGHT_BLUE)
        draw.rectangle([0, 18, 41, 19], fill=LIGHT_BLUE)
    mask = fit(word, SANS_CONDENSED_BOLD, 13, None)[0]
    if mask.width > 34:
        mask = fit(word, SANS_CONDENSED_BOLD, 13, 34)[0]
    box = put(img, mask, (42 - mask.width) // 2, 3, WHITE if focused else BLACK)
    return img, box


def draw_spinner(step):
    scale = 8
    size = 50 * scale
    img = Image.new("RGB", (size, size), BODY)
    draw = ImageDraw.Draw(img)
    centre = size / 2.0
    inner, outer = 8.5 * scale, 22.5 * scale
    half_width = math.radians(15)
    # Head black; each segment further counter-clockwise lighter, the last close to the body gray.
    shades = [0, 48, 86, 118, 144, 164, 180, 192]
    for k, shade in enumerate(shades):
        angle = math.radians(60 * step - 45 * k)  # clockwise from the top
        points = []
        for i in range(17):
            a = angle - half_width + 2 * half_width * i / 16
            points.append((centre + outer * math.sin(a), centre - outer * math.cos(a)))
        for i in range(17):
            a = angle + half_width - 2 * half_width * i / 16
            points.append((centre + inner * math.sin(a), centre - inner * math.cos(a)))
        draw.polygon(points, fill=(shade, shade, shade))
    return img.resize((50, 50), Image.BOX)


GLYPH_WIDTHS = {}
for chars, width in (("!.:il", 3), ("fj", 6), ("rstz", 7), ("acevxy", 8), ("bdghknopqu", 9),
                     ("-0123456789?ABCDEFGHIJKLMNOPQRSTUVWXYZ_", 10), ("mw", 13)):
    for c in chars:
        GLYPH_WIDTHS[c] = width


def glyph_cell(c):
    if c.isdigit() or c == "-":
        return DIGIT_GRAY
    if c in ".!":
        return DOT_GRAY
    return WHITE


def draw_glyph(c):
    width = GLYPH_WIDTHS[c]
    fnt = font(SANS, 14)
    mask = Image.new("L", (64, 16), 0)
    ImageDraw.Draw(mask).text((20, 13), c, font=fnt, fill=255, anchor="ls")  # baseline under row 12
    box = mask.getbbox()
    ink = mask.crop((box[0], 0, box[2], 16))
    room = width - 1  # one column of cell colour on the right keeps letters apart
    if ink.width > room:
        ink = ink.resize((room, 16), Image.LANCZOS)
    # FreeType leaves thin stems spread over two columns at this size: a heavier
    # stroke reads better on the small screen and takes the stems to full black.
    ink = ink.point(lambda v: min(255, round(v * 1.6)))
    bearing = max(0, min(box[0] - 20, room - ink.width))
    img = Image.new("RGB", (width, 16), glyph_cell(c))
    img.paste(BLACK, (bearing, 0, bearing + ink.width, 16), ink)
    return img


def check_rooms(name, img, rooms):
    px = img.load()
    for (x0, y0, x1, y1) in rooms:
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                if px[x, y] != BODY:
                    raise SystemExit(f"{name}: room {x0},{y0}-{x1},{y1} not plain at ({x},{y}): {px[x, y]}")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "assets")
    os.makedirs(os.path.join(out, "glyphs"), exist_ok=True)

    def save(img, relative):
        quantize(img).save(os.path.join(out, relative), optimize=True)

    print("windows:")
    for name, (img, rooms) in (("dlg1", draw_dlg1()), ("dlg2", draw_dlg2()), ("dlgUpt", draw_updating()),
                               ("msg0", draw_message("msg0", "Update Complete !",
                                                     [("Please remove SD card and", 82, 14),
                                                      ("restart the unit !", 101, 14)])),
                               ("msg1", draw_message("msg1", "Update Failed !", [("Please Try again !", 82, 18)]))):
        img = quantize(img)
        check_rooms(name, img, rooms)
        save(img, name + ".png")
    print("buttons:")
    for word, name in (("YES", "yes"), ("NO", "no")):
        for focused in (0, 1):
            img, box = draw_button(word, focused)
            report(f"{name}{focused}", word, box)
            save(img, f"{name}{focused}.png")
    for step in range(6):
        save(draw_spinner(step), f"proc{step}.png")
    for c in GLYPH_WIDTHS:
        save(draw_glyph(c), os.path.join("glyphs", f"chr_{ord(c)}.png"))
    print(f"{len(GLYPH_WIDTHS)} glyphs")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Draws the launcher's background and icon from vector shapes.

Writes resources/background.png (1100 x 620, the whole window) and
resources/launcher.ico (seven PNG-compressed sizes). Only the standard
library is used, and every run gives the same bytes, so the committed
files can be regenerated and compared at any time.

Shapes are anti-aliased by supersampling: each pixel row is sampled on
several sub-rows, and on each sub-row a span covers a pixel by its exact
overlap, which is a box filter over the pixel's area.
"""

import math
import os
import struct
import zlib

WIDTH, HEIGHT = 1100, 620
SUB_ROWS = 6

# Window areas the program paints over or reacts to (left, top, right,
# bottom; right and bottom exclusive).
STATUS_PANEL = (166, 278, 710, 397)
BUTTON_PANEL = (128, 400, 710, 476)
FOOTER_BAR = (100, 582, 1090, 615)
MINIMISE_ZONE = (1020, 12, 1052, 49)
CLOSE_ZONE = (1052, 12, 1085, 49)
LINK_TILES = (
    ((68, 498, 245, 575), "plane", "TELEGRAM"),
    ((258, 498, 437, 575), "person", "ЛИЧНЫЙ КАБИНЕТ"),
    ((449, 498, 638, 575), "star", "ГОЛОСОВАТЬ"),
    ((648, 498, 826, 575), "globe", "САЙТ"),
)

# Palette: the window's colour table plus a few shades between.
PANEL_BLACK = (8, 8, 8)
BUTTON_BLACK = (13, 12, 12)
DEEP_RED = (76, 25, 26)
DARK_RED = (120, 28, 28)
RED = (210, 31, 35)
TITLE_WHITE = (245, 240, 234)
LABEL_GREY = (208, 195, 184)
HINT_GREY = (184, 171, 160)

HERE = os.path.dirname(os.path.abspath(__file__))
RESOURCES = os.path.join(HERE, "..", "resources")


# --- geometry -------------------------------------------------------------


def signed_area(points):
    return 0.5 * sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1)
                     in zip(points, points[1:] + points[:1]))


class Shape:
    """Closed contours, filled where the winding number is positive.

    Solid parts are stored clockwise on screen and holes the other way, so
    overlapping parts merge and holes cut (a hole reaching past the solid
    parts cuts only what it covers), whatever order the points were given in.
    """

    def __init__(self):
        self.contours = []

    def add(self, points):
        points = list(points)
        if signed_area(points) < 0:
            points.reverse()
        self.contours.append(points)
        return self

    def hole(self, points):
        points = list(points)
        if signed_area(points) > 0:
            points.reverse()
        self.contours.append(points)
        return self

    def merge(self, other):
        self.contours.extend(other.contours)
        return self


def rect(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def chamfered_rect(x0, y0, x1, y1, cut):
    return [(x0 + cut, y0), (x1 - cut, y0), (x1, y0 + cut), (x1, y1 - cut),
            (x1 - cut, y1), (x0 + cut, y1), (x0, y1 - cut), (x0, y0 + cut)]


def ellipse(cx, cy, rx, ry, steps=None):
    if steps is None:
        steps = max(16, int(2.0 * math.pi * max(rx, ry) / 1.5))
    return [(cx + rx * math.cos(2 * math.pi * i / steps),
             cy + ry * math.sin(2 * math.pi * i / steps))
            for i in range(steps)]


def circle(cx, cy, r, steps=None):
    return ellipse(cx, cy, r, r, steps)


def rounded_rect(x0, y0, x1, y1, r):
    steps = max(4, int(r))
    points = []
    corners = ((x1 - r, y0 + r, -90), (x1 - r, y1 - r, 0),
               (x0 + r, y1 - r, 90), (x0 + r, y0 + r, 180))
    for cx, cy, start in corners:
        for i in range(steps + 1):
            a = math.radians(start + 90.0 * i / steps)
            points.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return points


def ring(cx, cy, r_outer, r_inner):
    return Shape().add(circle(cx, cy, r_outer)).hole(
        circle(cx, cy, r_inner))


def segment(p, q, width):
    """A rectangle of the given width around the segment p-q."""
    (x0, y0), (x1, y1) = p, q
    length = math.hypot(x1 - x0, y1 - y0) or 1.0
    nx, ny = -(y1 - y0) / length * width / 2, (x1 - x0) / length * width / 2
    return [(x0 + nx, y0 + ny), (x1 + nx, y1 + ny),
            (x1 - nx, y1 - ny), (x0 - nx, y0 - ny)]


def stroke(points, width, shape=None, closed=False):
    """A polyline of the given width with round joins and caps."""
    shape = shape or Shape()
    pairs = list(zip(points, points[1:]))
    if closed:
        pairs.append((points[-1], points[0]))
    for p, q in pairs:
        shape.add(segment(p, q, width))
    for x, y in points:
        shape.add(circle(x, y, width / 2, 12))
    return shape


def arc_band(cx, cy, r_outer, r_inner, start_deg, end_deg):
    """A piece of a ring between two angles (degrees, clockwise)."""
    steps = max(4, int(abs(end_deg - start_deg) * r_outer / 60))
    angles = [math.radians(start_deg + (end_deg - start_deg) * i / steps)
              for i in range(steps + 1)]
    outer = [(cx + r_outer * math.cos(a), cy + r_outer * math.sin(a))
             for a in angles]
    inner = [(cx + r_inner * math.cos(a), cy + r_inner * math.sin(a))
             for a in reversed(angles)]
    return outer + inner


def transform(points, scale=1.0, dx=0.0, dy=0.0):
    return [(dx + scale * x, dy + scale * y) for x, y in points]


# --- rasterising ------------------------------------------------------------


class Mask:
    """Coverage (0..1) of a rectangle of pixels."""

    def __init__(self, x0, y0, w, h):
        self.x0, self.y0, self.w, self.h = x0, y0, w, h
        self.data = [0.0] * (w * h)


def rasterize(shape, width, height):
    """The coverage of a shape, clipped to a width x height picture."""
    points = [p for contour in shape.contours for p in contour]
    x0 = max(0, int(math.floor(min(x for x, _ in points))))
    y0 = max(0, int(math.floor(min(y for _, y in points))))
    x1 = min(width, int(math.ceil(max(x for x, _ in points))) + 1)
    y1 = min(height, int(math.ceil(max(y for _, y in points))) + 1)
    mask = Mask(x0, y0, max(0, x1 - x0), max(0, y1 - y0))
    if mask.w == 0 or mask.h == 0:
        return mask

    edges = []
    for contour in shape.contours:
        for (ax, ay), (bx, by) in zip(contour, contour[1:] + contour[:1]):
            if ay == by:
                continue
            # Clockwise solids: their left edges run upwards.
            direction = 1 if by < ay else -1
            if ay > by:
                ax, ay, bx, by = bx, by, ax, ay
            edges.append((ay, by, ax - x0, (bx - ax) / (by - ay), direction))
    edges.sort()

    weight = 1.0 / SUB_ROWS
    data, w = mask.data, mask.w
    next_edge, active = 0, []
    for row in range(mask.h):
        base = row * w
        for sub in range(SUB_ROWS):
            sy = y0 + row + (sub + 0.5) * weight
            while next_edge < len(edges) and edges[next_edge][0] <= sy:
                active.append(edges[next_edge])
                next_edge += 1
            active = [e for e in active if e[1] > sy]
            crossings = sorted((ex + (sy - ey) * slope, d)
                               for ey, _, ex, slope, d in active if ey <= sy)
            winding, start = 0, 0.0
            for x, d in crossings:
                if winding <= 0 < winding + d:
                    start = x
                elif winding > 0 >= winding + d:
                    add_span(data, base, w, start, x, weight)
                winding += d
    mask.data = [min(1.0, v) for v in data]
    return mask


def add_span(data, base, w, xa, xb, weight):
    xa, xb = max(xa, 0.0), min(xb, float(w))
    if xb <= xa:
        return
    ia, ib = int(xa), int(xb)
    if ia == ib:
        data[base + ia] += (xb - xa) * weight
        return
    data[base + ia] += (ia + 1 - xa) * weight
    for i in range(base + ia + 1, base + ib):
        data[i] += weight
    if ib < w:
        data[base + ib] += (xb - ib) * weight


def blur(mask, radius, width, height):
    """Three box blurs (close to a Gaussian); the mask grows to hold it."""
    grow = 3 * radius
    x0, y0 = max(0, mask.x0 - grow), max(0, mask.y0 - grow)
    x1 = min(width, mask.x0 + mask.w + grow)
    y1 = min(height, mask.y0 + mask.h + grow)
    out = Mask(x0, y0, x1 - x0, y1 - y0)
    for j in range(mask.h):
        src = j * mask.w
        dst = (mask.y0 - y0 + j) * out.w + (mask.x0 - x0)
        out.data[dst:dst + mask.w] = mask.data[src:src + mask.w]
    for _ in range(3):
        for j in range(out.h):
            line = out.data[j * out.w:(j + 1) * out.w]
            out.data[j * out.w:(j + 1) * out.w] = box_1d(line, radius)
        for i in range(out.w):
            line = out.data[i::out.w]
            out.data[i::out.w] = box_1d(line, radius)
    return out


def box_1d(values, radius):
    n, span = len(values), 2 * radius + 1
    padded = [0.0] * radius + values + [0.0] * radius
    total = sum(padded[:span])
    result = [0.0] * n
    for i in range(n):
        result[i] = total / span
        if i + span < len(padded):
            total += padded[i + span] - padded[i]
    return result


# --- colour ---------------------------------------------------------------


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def ramp(stops, t):
    """Colour at t along stops [(t0, colour0), (t1, colour1), ...]."""
    if t <= stops[0][0]:
        return stops[0][1]
    for (ta, ca), (tb, cb) in zip(stops, stops[1:]):
        if t <= tb:
            return mix(ca, cb, (t - ta) / (tb - ta))
    return stops[-1][1]


def vertical(y0, y1, stops):
    def colour(_x, y):
        return ramp(stops, (y - y0) / (y1 - y0))
    return colour


def diagonal(p0, p1, stops):
    dx, dy = p1[0] - p0[0], p1[1] - p0[1]
    length2 = dx * dx + dy * dy

    def colour(x, y):
        return ramp(stops, ((x - p0[0]) * dx + (y - p0[1]) * dy) / length2)
    return colour


def radial(cx, cy, r, stops):
    def colour(x, y):
        return ramp(stops, math.hypot(x - cx, y - cy) / r)
    return colour


class Canvas:
    """An RGB picture in floats, with an optional alpha channel."""

    def __init__(self, width, height, alpha=False):
        self.width, self.height = width, height
        self.pixels = [[0.0, 0.0, 0.0] for _ in range(width * height)]
        self.alpha = [1.0] * (width * height) if alpha else None

    def fill(self, colour_at):
        for y in range(self.height):
            for x in range(self.width):
                self.pixels[y * self.width + x] = list(
                    colour_at(x + 0.5, y + 0.5))

    def paint(self, shape_or_mask, colour, opacity=1.0, add=False):
        """Blends a colour (or a function of x, y) through a shape."""
        if isinstance(shape_or_mask, Shape):
            mask = rasterize(shape_or_mask, self.width, self.height)
        else:
            mask = shape_or_mask
        colour_at = colour if callable(colour) else None
        for j in range(mask.h):
            y = mask.y0 + j
            for i in range(mask.w):
                a = mask.data[j * mask.w + i] * opacity
                if a <= 0.0:
                    continue
                x = mask.x0 + i
                c = colour_at(x + 0.5, y + 0.5) if colour_at else colour
                p = self.pixels[y * self.width + x]
                if add:
                    p[0] += c[0] * a
                    p[1] += c[1] * a
                    p[2] += c[2] * a
                else:
                    p[0] += (c[0] - p[0]) * a
                    p[1] += (c[1] - p[1]) * a
                    p[2] += (c[2] - p[2]) * a
        return mask

    def glow(self, shape, radius, colour, opacity):
        """A soft light around a shape, added to what lies below."""
        mask = rasterize(shape, self.width, self.height)
        self.paint(blur(mask, radius, self.width, self.height), colour,
                   opacity, add=True)

    def shadow(self, shape, radius, opacity):
        """A soft dark area under a shape."""
        mask = rasterize(shape, self.width, self.height)
        self.paint(blur(mask, radius, self.width, self.height), (0, 0, 0),
                   opacity)

    def to_bytes(self):
        """8-bit rows with an ordered dither, so gradients do not band."""
        bayer = ((0, 8, 2, 10), (12, 4, 14, 6), (3, 11, 1, 9), (15, 7, 13, 5))
        rows = []
        for y in range(self.height):
            row = bytearray()
            for x in range(self.width):
                offset = (bayer[y % 4][x % 4] + 0.5) / 16.0
                for v in self.pixels[y * self.width + x]:
                    row.append(max(0, min(255, int(v + offset))))
                if self.alpha is not None:
                    a = self.alpha[y * self.width + x]
                    row.append(max(0, min(255, int(a * 255 + 0.5))))
            rows.append(bytes(row))
        return rows


# --- PNG and ICO ------------------------------------------------------------


def png_bytes(canvas):
    rows = canvas.to_bytes()
    channels = 4 if canvas.alpha is not None else 3
    colour_type = 6 if channels == 4 else 2
    raw = bytearray()
    previous = bytes(len(rows[0]))
    for row in rows:
        raw += best_filtered(row, previous, channels)
        previous = row
    header = struct.pack(">IIBBBBB", canvas.width, canvas.height, 8,
                         colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header)
            + png_chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + png_chunk(b"IEND", b""))


def png_chunk(kind, body):
    return (struct.pack(">I", len(body)) + kind + body
            + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))


def best_filtered(row, up, bpp):
    """The filtered row (type byte first) with the smallest signed sum."""
    n = len(row)
    left = bytes(bpp) + row[:n - bpp]
    up_left = bytes(bpp) + up[:n - bpp]
    candidates = [
        bytes(row),
        bytes((r - a) & 255 for r, a in zip(row, left)),
        bytes((r - b) & 255 for r, b in zip(row, up)),
        bytes((r - ((a + b) >> 1)) & 255
              for r, a, b in zip(row, left, up)),
        bytes((r - paeth(a, b, c)) & 255
              for r, a, b, c in zip(row, left, up, up_left)),
    ]

    def cost(data):
        return sum(v if v < 128 else 256 - v for v in data)

    kind = min(range(5), key=lambda k: cost(candidates[k]))
    return bytes((kind,)) + candidates[kind]


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def ico_bytes(images):
    """An icon group file whose entries are PNG images."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, bodies = b"", b""
    for size, data in images:
        side = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32,
                               len(data), offset)
        bodies += data
        offset += len(data)
    return header + entries + bodies


# --- lettering ------------------------------------------------------------


def wordmark_glyph(letter, stem, cut):
    """One letter of the wordmark as a Shape in cap-height units."""
    s, c = stem, cut
    shape = Shape()
    if letter == "V":
        w = 0.86
        shape.add([(0, 0), (s * 1.15, 0), (w / 2, 1 - s * 1.55),
                   (w - s * 1.15, 0), (w, 0), (w / 2 + s * 0.62, 1),
                   (w / 2 - s * 0.62, 1)])
    elif letter == "O":
        w = 0.84
        shape.add(chamfered_rect(0, 0, w, 1, c))
        shape.hole(chamfered_rect(s, s, w - s, 1 - s, c * 0.45))
    elif letter == "R":
        w = 0.80
        bowl = 0.58
        shape.add(rect(0, 0, s, 1))
        shape.add([(0, 0), (w - c, 0), (w, c), (w, bowl - c * 0.7),
                   (w - c * 0.7, bowl), (0, bowl)])
        shape.hole(rect(s, s, w - s, bowl - s))
        shape.add([(w * 0.42, bowl - 0.01), (w * 0.42 + s * 1.2, bowl - 0.01),
                   (w, 1), (w - s * 1.25, 1)])
    elif letter == "N":
        w = 0.84
        shape.add(rect(0, 0, s, 1))
        shape.add(rect(w - s, 0, w, 1))
        shape.add([(0, 0), (s * 1.2, 0), (w, 1), (w - s * 1.2, 1)])
    elif letter == "E":
        w = 0.70
        shape.add(rect(0, 0, s, 1))
        shape.add(rect(0, 0, w, s))
        shape.add(rect(0, 0.5 - s * 0.48, w * 0.82, 0.5 + s * 0.48))
        shape.add(rect(0, 1 - s, w, 1))
    elif letter == "L":
        w = 0.66
        shape.add(rect(0, 0, s, 1))
        shape.add(rect(0, 1 - s, w, 1))
    else:
        raise ValueError(letter)
    return w, shape


def wordmark(text, x, y, height, gap):
    """The wordmark as one Shape, and its right edge."""
    shape = Shape()
    for letter in text:
        w, glyph = wordmark_glyph(letter, 0.21, 0.2)
        for contour in glyph.contours:
            shape.contours.append(transform(contour, height, x, y))
        x += w * height + gap
    return shape, x - gap


# Strokes of the small capitals (x from 0 to the width, y 0 top .. 1
# base); chamfered corners in place of curves keep them crisp when small.
K = 0.2  # the corner cut
SMALL_GLYPHS = {
    " ": (0.45, []),
    "A": (0.62, [[(0, 1), (0, K), (K, 0), (0.62 - K, 0), (0.62, K),
                  (0.62, 1)], [(0, 0.58), (0.62, 0.58)]]),
    "C": (0.58, [[(0.58, 0), (K, 0), (0, K), (0, 1 - K), (K, 1),
                  (0.58, 1)]]),
    "E": (0.54, [[(0.54, 0), (0, 0), (0, 1), (0.54, 1)],
                 [(0, 0.5), (0.44, 0.5)]]),
    "G": (0.62, [[(0.62, 0), (K, 0), (0, K), (0, 1 - K), (K, 1),
                  (0.62, 1), (0.62, 0.55), (0.34, 0.55)]]),
    "H": (0.62, [[(0, 0), (0, 1)], [(0.62, 0), (0.62, 1)],
                 [(0, 0.5), (0.62, 0.5)]]),
    "L": (0.52, [[(0, 0), (0, 1), (0.52, 1)]]),
    "M": (0.76, [[(0, 1), (0, 0), (0.38, 0.6), (0.76, 0), (0.76, 1)]]),
    "N": (0.64, [[(0, 1), (0, 0), (0.64, 1), (0.64, 0)]]),
    "O": (0.64, [[(K, 0), (0.64 - K, 0), (0.64, K), (0.64, 1 - K),
                  (0.64 - K, 1), (K, 1), (0, 1 - K), (0, K), (K, 0)]]),
    "P": (0.6, [[(0, 1), (0, 0), (0.6 - K, 0), (0.6, K), (0.6, 0.55 - K),
                 (0.6 - K, 0.55), (0, 0.55)]]),
    "R": (0.6, [[(0, 1), (0, 0), (0.6 - K, 0), (0.6, K), (0.6, 0.55 - K),
                 (0.6 - K, 0.55), (0, 0.55)], [(0.3, 0.55), (0.6, 1)]]),
    "T": (0.62, [[(0, 0), (0.62, 0)], [(0.31, 0), (0.31, 1)]]),
    "U": (0.62, [[(0, 0), (0, 1 - K), (K, 1), (0.62 - K, 1),
                  (0.62, 1 - K), (0.62, 0)]]),
    "V": (0.66, [[(0, 0), (0.33, 1), (0.66, 0)]]),
    "Б": (0.6, [[(0.58, 0), (0, 0), (0, 1), (0.6 - K, 1), (0.6, 1 - K),
                 (0.6, 0.5 + K), (0.6 - K, 0.48), (0, 0.48)]]),
    "В": (0.6, [[(0, 0.48), (0.54 - K, 0.48), (0.54, 0.48 - K * 0.9),
                 (0.54, K * 0.9), (0.54 - K, 0), (0, 0), (0, 1),
                 (0.6 - K, 1), (0.6, 1 - K), (0.6, 0.48 + K),
                 (0.6 - K, 0.48), (0.5, 0.48)]]),
    "Г": (0.5, [[(0.5, 0), (0, 0), (0, 1)]]),
    "Й": (0.64, [[(0, 0), (0, 1), (0.64, 0), (0.64, 1)],
                 [(0.18, -0.24), (0.46, -0.24)]]),
    "И": (0.64, [[(0, 0), (0, 1), (0.64, 0), (0.64, 1)]]),
    "К": (0.6, [[(0, 0), (0, 1)], [(0.6, 0), (0, 0.56)],
                [(0.2, 0.4), (0.6, 1)]]),
    "Л": (0.62, [[(0, 1), (0.16, 0), (0.62, 0), (0.62, 1)]]),
    "Ч": (0.58, [[(0, 0), (0, 0.52 - K), (K, 0.52), (0.58, 0.52)],
                 [(0.58, 0), (0.58, 1)]]),
    "Ы": (0.78, [[(0, 0), (0, 1), (0.5 - K, 1), (0.5, 1 - K),
                  (0.5, 0.5 + K), (0.5 - K, 0.5), (0, 0.5)],
                 [(0.78, 0), (0.78, 1)]]),
    "Ь": (0.56, [[(0, 0), (0, 1), (0.56 - K, 1), (0.56, 1 - K),
                  (0.56, 0.5 + K), (0.56 - K, 0.5), (0, 0.5)]]),
}
SMALL_GLYPHS["А"] = SMALL_GLYPHS["A"]
SMALL_GLYPHS["Е"] = SMALL_GLYPHS["E"]
SMALL_GLYPHS["Н"] = SMALL_GLYPHS["H"]
SMALL_GLYPHS["О"] = SMALL_GLYPHS["O"]
SMALL_GLYPHS["Р"] = SMALL_GLYPHS["P"]
SMALL_GLYPHS["С"] = SMALL_GLYPHS["C"]
SMALL_GLYPHS["Т"] = SMALL_GLYPHS["T"]


def small_text_width(text, height, tracking):
    widths = [SMALL_GLYPHS[ch][0] * height for ch in text]
    return sum(widths) + tracking * height * (len(text) - 1)


def small_text(text, cx, top, height, tracking, weight):
    """Small capitals centred on cx, as one Shape of strokes."""
    x = cx - small_text_width(text, height, tracking) / 2
    shape = Shape()
    for ch in text:
        w, strokes = SMALL_GLYPHS[ch]
        for line in strokes:
            stroke([(x + px * height, top + py * height) for px, py in line],
                   weight, shape)
        x += (w + tracking) * height
    return shape


# --- pictograms of the link tiles (centred on cx, cy, about 2r wide) ------


def plane_icon(cx, cy, r):
    body = transform([(-1.0, 0.02), (0.95, -0.78), (0.42, 0.82),
                      (0.08, 0.3)], r, cx, cy)
    fold = transform([(0.08, 0.3), (0.95, -0.78), (-0.12, 0.18),
                      (-0.05, 0.74)], r, cx, cy)
    return Shape().add(body), Shape().add(fold)


def person_icon(cx, cy, r):
    head = Shape().add(circle(cx, cy - r * 0.42, r * 0.36))
    body = Shape().add(rounded_rect(cx - r * 0.72, cy + r * 0.1,
                                    cx + r * 0.72, cy + r * 1.2, r * 0.5))
    body.hole(rect(cx - r, cy + r * 0.82, cx + r, cy + r * 1.3))
    return head.merge(body), None


def star_icon(cx, cy, r):
    points = []
    for i in range(10):
        radius = r if i % 2 == 0 else r * 0.44
        a = math.radians(-90 + 36 * i)
        points.append((cx + radius * math.cos(a),
                       cy + 0.06 * r + radius * math.sin(a)))
    star = Shape().add(points)
    shade = Shape().add([(cx, cy + 0.06 * r)] + points[5:] + points[:1])
    return star, shade


def globe_icon(cx, cy, r):
    line = max(1.4, r * 0.11)
    shape = ring(cx, cy, r, r - line)
    meridian = Shape().add(ellipse(cx, cy, r * 0.45, r - line / 2))
    meridian.hole(ellipse(cx, cy, r * 0.45 - line, r - line * 1.5))
    shape.merge(meridian)
    shape.add(rect(cx - line / 2, cy - r + 1, cx + line / 2, cy + r - 1))
    for level in (-0.45, 0.0, 0.45):
        y = cy + level * r
        half = math.sqrt(max(0.0, r * r - (level * r) ** 2)) - line * 0.6
        shape.add(rect(cx - half, y - line / 2, cx + half, y + line / 2))
    return shape, None


ICONS = {"plane": plane_icon, "person": person_icon, "star": star_icon,
         "globe": globe_icon}


# --- the background -------------------------------------------------------


EMBLEM_CENTRE = (918.0, 282.0)

# (offset along the streak normal, half width, strength)
STREAKS = ((560.0, 14.0, 0.10), (610.0, 1.4, 0.30), (760.0, 9.0, 0.26),
           (800.0, 2.0, 0.50), (890.0, 30.0, 0.14), (955.0, 1.4, 0.45),
           (1020.0, 5.0, 0.24), (1120.0, 1.6, 0.34))


def backdrop(x, y):
    """Near-black with a red glow behind the emblem, streaks and vignette."""
    ex, ey = EMBLEM_CENTRE
    top = ramp([(0.0, (15, 12, 12)), (1.0, (7, 6, 6))], y / HEIGHT)
    r, g, b = top
    # Warm red light behind the emblem, and a fainter one behind the title.
    d = math.hypot((x - ex) / 1.15, y - ey) / 470.0
    glow = max(0.0, 1.0 - d) ** 2.2
    r, g, b = r + 78 * glow, g + 14 * glow, b + 13 * glow
    d = math.hypot((x - 380) / 2.2, (y - 170) / 1.1) / 260.0
    glow = max(0.0, 1.0 - d) ** 2.0
    r, g, b = r + 22 * glow, g + 5 * glow, b + 5 * glow
    # Diagonal light streaks rising to the upper right.
    for offset, width, strength in STREAKS:
        distance = (x * 0.5 + y * 0.866) - offset
        fade = max(0.0, 1.0 - abs(x - 800) / 600.0) ** 1.5
        light = strength * math.exp(-(distance / width) ** 2) * fade
        r, g, b = r + 90 * light, g + 20 * light, b + 18 * light
    # Vignette: darker towards the corners.
    vx, vy = (x - WIDTH / 2) / (WIDTH / 2), (y - HEIGHT / 2) / (HEIGHT / 2)
    shade = 1.0 - 0.42 * min(1.0, (vx * vx + vy * vy) / 2.0) ** 1.3
    return r * shade, g * shade, b * shade


def draw_frame(canvas):
    """A thin red line round the window, brighter at the corners."""
    edge = Shape().add(rect(0, 0, WIDTH, HEIGHT)).hole(
        rect(1, 1, WIDTH - 1, HEIGHT - 1))
    canvas.paint(edge, DARK_RED)
    inner = Shape().add(rect(1, 1, WIDTH - 1, HEIGHT - 1)).hole(
        rect(2, 2, WIDTH - 2, HEIGHT - 2))
    canvas.paint(inner, (4, 3, 3))
    corners = Shape()
    for cx, cy, sx, sy in ((0, 0, 1, 1), (WIDTH, 0, -1, 1),
                           (0, HEIGHT, 1, -1), (WIDTH, HEIGHT, -1, -1)):
        corners.add(rect(cx, cy, cx + sx * 34, cy + sy * 2))
        corners.add(rect(cx, cy, cx + sx * 2, cy + sy * 34))
    canvas.paint(corners, RED)


def draw_emblem(canvas):
    """The crest on the right: rings, a diamond and a faceted V."""
    cx, cy = EMBLEM_CENTRE
    canvas.glow(Shape().add(circle(cx, cy, 120)), 30, (120, 20, 20), 0.35)
    canvas.paint(ring(cx, cy, 182, 180.8), (90, 26, 26))
    canvas.paint(ring(cx, cy, 168, 165.5), (150, 32, 30))
    ticks = Shape()
    for i in range(72):
        a = 5.0 * i
        length = 7.0 if i % 6 == 0 else 3.5
        ticks.add(arc_band(cx, cy, 176, 176 - length, a - 0.35, a + 0.35))
    canvas.paint(ticks, (130, 30, 28))
    dashes = Shape()
    for i in range(12):
        a = 30.0 * i + 6
        dashes.add(arc_band(cx, cy, 156, 152, a, a + 18))
    canvas.paint(dashes, (96, 26, 26))
    diamond = [(cx, cy - 150), (cx + 150, cy), (cx, cy + 150),
               (cx - 150, cy)]
    canvas.paint(stroke(diamond, 1.6, closed=True), (110, 30, 28))
    canvas.paint(Shape().add(circle(cx, cy, 128)),
                 radial(cx, cy - 30, 150, [(0.0, (30, 12, 12)),
                                            (1.0, (10, 8, 8))]), 0.92)
    canvas.paint(ring(cx, cy, 128, 126.6), (176, 36, 32))
    draw_faceted_v(canvas, cx, cy + 6, 94, glow=True)


def faceted_v_points(cx, cy, size):
    """Outer corners and the inner notch of the crest's V."""
    half, top, bottom = size * 0.86, cy - size * 0.62, cy + size * 0.78
    arm = size * 0.44
    return {
        "outer_left": (cx - half, top), "inner_left": (cx - half + arm, top),
        "notch": (cx, bottom - size * 0.8),
        "inner_right": (cx + half - arm, top), "outer_right": (cx + half, top),
        "tip": (cx, bottom),
    }


def draw_faceted_v(canvas, cx, cy, size, glow=False):
    """A V whose arms are split lengthwise into a lit and a shaded facet."""
    p = faceted_v_points(cx, cy, size)
    mid_left = mix(p["outer_left"], p["inner_left"], 0.5)
    mid_right = mix(p["outer_right"], p["inner_right"], 0.5)
    ridge = mix(p["tip"], p["notch"], 0.5)
    outline = Shape().add([p["outer_left"], p["inner_left"], p["notch"],
                           p["inner_right"], p["outer_right"], p["tip"]])
    if glow:
        canvas.glow(outline, 14, (200, 30, 30), 0.55)
    top, bottom = p["outer_left"][1], p["tip"][1]
    lit = vertical(top, bottom, [(0.0, (250, 92, 78)), (1.0, (196, 30, 34))])
    shaded = vertical(top, bottom, [(0.0, (170, 28, 30)), (1.0, (96, 16, 20))])
    canvas.paint(Shape().add([p["outer_left"], mid_left, ridge, p["tip"]]),
                 lit)
    canvas.paint(Shape().add([mid_left, p["inner_left"], p["notch"], ridge]),
                 shaded)
    canvas.paint(Shape().add([mid_right, p["outer_right"], p["tip"], ridge]),
                 shaded)
    canvas.paint(Shape().add([p["inner_right"], mid_right, ridge,
                              p["notch"]]), lit)
    if size > 40:
        edge = max(1.0, size / 90)
        canvas.paint(stroke([p["outer_left"], p["tip"]], edge),
                     (255, 150, 130), 0.55)
        canvas.paint(stroke([p["inner_right"], p["notch"]], edge),
                     (255, 150, 130), 0.35)


def draw_title(canvas):
    """VORNELL in block letters, a red rule and the word LAUNCHER."""
    x, y, height = 166.0, 132.0, 68.0
    letters, right = wordmark("VORNELL", x, y, height, 13.0)
    canvas.glow(letters, 16, (170, 26, 26), 0.5)
    shadow = Shape()
    for contour in letters.contours:
        shadow.contours.append(transform(contour, 1.0, 3.0, 4.0))
    canvas.paint(shadow, (0, 0, 0), 0.7)
    canvas.paint(letters, vertical(y, y + height, [
        (0.0, (252, 248, 243)), (0.55, TITLE_WHITE), (0.56, (222, 212, 203)),
        (1.0, (178, 165, 155))]))
    rule_y = y + height + 18
    canvas.paint(Shape().add(rect(x, rule_y, x + 46, rule_y + 3)), RED)
    canvas.paint(Shape().add(rect(x + 52, rule_y + 1, right, rule_y + 2)),
                 diagonal((x, 0), (right, 0), [(0.0, (150, 32, 30)),
                                               (1.0, (30, 12, 12))]))
    word = "L A U N C H E R"
    centre = x + small_text_width(word, 10, 0.0) / 2
    canvas.paint(small_text(word, centre, rule_y + 14, 10, 0.0, 1.4),
                 HINT_GREY)


def draw_panel_frames(canvas):
    """Hairlines round the areas the program fills, and their shadows."""
    for (x0, y0, x1, y1), accent in ((STATUS_PANEL, True),
                                     (BUTTON_PANEL, False),
                                     (FOOTER_BAR, False)):
        canvas.shadow(Shape().add(rect(x0, y0 + 3, x1, y1 + 3)), 6, 0.6)
        canvas.paint(Shape().add(rect(x0 - 1, y0 - 1, x1 + 1, y1 + 1))
                     .hole(rect(x0, y0, x1, y1)), (52, 22, 22))
        canvas.paint(Shape().add(rect(x0, y0, x1, y1)), PANEL_BLACK)
        if accent:
            canvas.paint(Shape().add(rect(x0 - 1, y0 - 1, x0 + 120, y0)),
                         diagonal((x0, 0), (x0 + 120, 0),
                                  [(0.0, RED), (1.0, (52, 22, 22))]))
    canvas.paint(Shape().add(rect(*BUTTON_PANEL)), BUTTON_BLACK)


def draw_caption_buttons(canvas):
    """The minimise and close boxes in the top right corner."""
    for (x0, y0, x1, y1), fill, border in (
            (MINIMISE_ZONE, (20, 15, 15), (70, 26, 26)),
            (CLOSE_ZONE, (46, 14, 14), (150, 34, 32))):
        canvas.paint(Shape().add(rect(x0 + 2, y0 + 2, x1 - 2, y1 - 2)),
                     vertical(y0, y1, [
                         (0.0, mix(fill, (255, 255, 255), 0.04)),
                         (1.0, fill)]))
        canvas.paint(Shape().add(rect(x0 + 2, y0 + 2, x1 - 2, y1 - 2))
                     .hole(rect(x0 + 3, y0 + 3, x1 - 3, y1 - 3)), border)
    # Whole pixels keep the dash sharp.
    mx = (MINIMISE_ZONE[0] + MINIMISE_ZONE[2]) // 2
    my = (MINIMISE_ZONE[1] + MINIMISE_ZONE[3]) // 2
    canvas.paint(Shape().add(rect(mx - 6, my + 1, mx + 6, my + 3)),
                 LABEL_GREY)
    cx = (CLOSE_ZONE[0] + CLOSE_ZONE[2]) / 2
    cy = (CLOSE_ZONE[1] + CLOSE_ZONE[3]) / 2
    cross = stroke([(cx - 5.5, cy - 5.5), (cx + 5.5, cy + 5.5)], 1.8)
    stroke([(cx + 5.5, cy - 5.5), (cx - 5.5, cy + 5.5)], 1.8, cross)
    canvas.paint(cross, TITLE_WHITE)


def draw_link_tile(canvas, box, icon, label):
    """A framed tile: pictogram in a badge above a small-capitals label."""
    x0, y0, x1, y1 = box
    canvas.paint(Shape().add(rect(x0, y0, x1, y1)), vertical(y0, y1, [
        (0.0, (24, 17, 17)), (1.0, (11, 10, 10))]))
    canvas.paint(Shape().add(rect(x0, y0, x1, y1))
                 .hole(rect(x0 + 1, y0 + 1, x1 - 1, y1 - 1)), DEEP_RED)
    mid = (x0 + x1) / 2
    canvas.paint(Shape().add(rect(x0 + 1, y0 + 1, x1 - 1, y0 + 2)),
                 diagonal((x0, 0), (x1, 0), [
                     (0.0, (40, 18, 18)), (0.5, (170, 38, 34)),
                     (1.0, (40, 18, 18))]))
    brackets = Shape()
    for cx, cy, sx, sy in ((x0, y0, 1, 1), (x1, y0, -1, 1),
                           (x0, y1, 1, -1), (x1, y1, -1, -1)):
        brackets.add(rect(cx, cy, cx + sx * 9, cy + sy * 1.5))
        brackets.add(rect(cx, cy, cx + sx * 1.5, cy + sy * 9))
    canvas.paint(brackets, RED)

    bx, by, br = mid, y0 + 28, 17.5
    canvas.paint(Shape().add(circle(bx, by, br)),
                 radial(bx, by - 6, br * 1.4, [(0.0, (44, 16, 16)),
                                               (1.0, (16, 11, 11))]))
    canvas.paint(ring(bx, by, br, br - 1.2), (120, 32, 30))
    shape, shade = ICONS[icon](bx, by, 10.5)
    canvas.paint(shape, vertical(by - 11, by + 11, [
        (0.0, (250, 86, 72)), (1.0, (200, 34, 36))]))
    if shade is not None:
        canvas.paint(shade, (120, 18, 22), 0.65)
    canvas.paint(small_text(label, mid, y0 + 56, 9.0, 0.34, 1.35),
                 LABEL_GREY)


def draw_embers(canvas):
    """A few glowing sparks drifting up the right half (fixed seed)."""
    seed = 20261026
    sparks = Shape()
    bright = Shape()
    for _ in range(46):
        seed = (seed * 1103515245 + 12345) % 2 ** 31
        x = 720 + seed % 370
        seed = (seed * 1103515245 + 12345) % 2 ** 31
        y = 60 + seed % 440
        seed = (seed * 1103515245 + 12345) % 2 ** 31
        size = 0.6 + (seed % 100) / 100 * 1.3
        if math.hypot(x - EMBLEM_CENTRE[0], y - EMBLEM_CENTRE[1]) < 135:
            continue
        if x > 1000 and y < 60:
            continue
        (bright if size > 1.5 else sparks).add(circle(x, y, size, 10))
    canvas.glow(bright, 4, (255, 60, 40), 0.9)
    canvas.paint(sparks, (230, 80, 60), 0.7)
    canvas.paint(bright, (255, 170, 130), 0.9)


def draw_background():
    canvas = Canvas(WIDTH, HEIGHT)
    canvas.fill(backdrop)
    draw_embers(canvas)
    draw_emblem(canvas)
    draw_title(canvas)
    draw_panel_frames(canvas)
    for box, icon, label in LINK_TILES:
        draw_link_tile(canvas, box, icon, label)
    draw_caption_buttons(canvas)
    draw_frame(canvas)
    return canvas


# --- the icon -------------------------------------------------------------


def draw_icon(size):
    """The emblem on a dark rounded square, drawn for one pixel size."""
    canvas = Canvas(size, size, alpha=True)
    s = float(size)
    square = Shape().add(rounded_rect(0, 0, s, s, s * 0.2))
    canvas.fill(vertical(0, s, [(0.0, (40, 18, 18)), (1.0, (10, 8, 8))]))
    if size >= 32:
        inset = max(1.0, s / 48)
        canvas.paint(Shape().add(rounded_rect(0, 0, s, s, s * 0.2)).hole(
            rounded_rect(inset, inset, s - inset, s - inset,
                         s * 0.2 - inset)), (150, 32, 30))
    draw_faceted_v(canvas, s / 2, s * 0.47, s * (0.42 if size >= 32 else 0.5))
    coverage = rasterize(square, size, size)
    canvas.alpha = coverage.data
    return canvas


def main():
    background = png_bytes(draw_background())
    with open(os.path.join(RESOURCES, "background.png"), "wb") as out:
        out.write(background)
    images = [(size, png_bytes(draw_icon(size)))
              for size in (16, 24, 32, 48, 64, 128, 256)]
    with open(os.path.join(RESOURCES, "launcher.ico"), "wb") as out:
        out.write(ico_bytes(images))


if __name__ == "__main__":
    main()

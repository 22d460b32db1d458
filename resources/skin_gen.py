#!/usr/bin/env python3
"""Draws Korvelle's skin: every picture of the image store, as PNG files in
resources/skin/, and the resource script resources/skin.rc that embeds them.

    skin_gen.py            write the pictures and the script
    skin_gen.py --check    compare them with what is committed (exit 1 on a difference)

Standard library only. Shapes are signed distance fields sampled at pixel
centres, so every edge is anti-aliased into soft alpha; colours composite in
premultiplied floating point and are rounded once at the end, which keeps the
output the same on every machine.
"""

import math
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SKIN_DIR = os.path.join(HERE, "skin")
RC_FILE = os.path.join(HERE, "skin.rc")

# The glass key colour of the main window: pixels of exactly this colour turn
# into holes, so no picture may contain it.
KEY_RGB = (0xDA, 0xDB, 0xDC)

# ---------------------------------------------------------------------------
# Colours of the scheme (straight RGB, 0-255).

NAVY = (22, 52, 92)
BLUE_DARK = (28, 82, 150)
BLUE = (41, 121, 214)
BLUE_LIGHT = (112, 172, 238)
SKY = (206, 228, 250)
GREEN_DARK = (34, 128, 52)
GREEN = (64, 174, 78)
GREEN_LIGHT = (140, 214, 120)
ORANGE = (240, 146, 32)
ORANGE_LIGHT = (252, 196, 92)
RED_DARK = (150, 30, 30)
RED = (208, 58, 50)
RED_LIGHT = (240, 120, 104)
GREY_DARK = (96, 104, 116)
GREY = (150, 158, 170)
GREY_LIGHT = (214, 219, 226)
PAPER = (244, 247, 251)
WHITE = (255, 255, 255)
INK = (47, 47, 47)
GOLD = (214, 164, 48)
GOLD_LIGHT = (250, 218, 120)


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


# ---------------------------------------------------------------------------
# The canvas


class Image:
    """Premultiplied RGBA in floats 0..1, rows top down."""

    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [0.0] * (w * h * 4)

    def put(self, x, y, rgb, a):
        """Source-over of straight colour rgb (0-255) at coverage a (0-1)."""
        if a <= 0.0:
            return
        if a > 1.0:
            a = 1.0
        i = (y * self.w + x) * 4
        p = self.px
        k = 1.0 - a
        s = a / 255.0
        p[i] = rgb[0] * s + p[i] * k
        p[i + 1] = rgb[1] * s + p[i + 1] * k
        p[i + 2] = rgb[2] * s + p[i + 2] * k
        p[i + 3] = a + p[i + 3] * k

    def fill(self, dist, paint, box=None, alpha=1.0, soft=1.0):
        """Fills the shape dist(x, y) < 0 with paint(x, y) -> (rgb, a)."""
        x0, y0, x1, y1 = box if box else (0, 0, self.w, self.h)
        x0, y0 = max(0, int(math.floor(x0))), max(0, int(math.floor(y0)))
        x1, y1 = min(self.w, int(math.ceil(x1))), min(self.h, int(math.ceil(y1)))
        half = 0.5 * soft
        for y in range(y0, y1):
            cy = y + 0.5
            for x in range(x0, x1):
                cx = x + 0.5
                d = dist(cx, cy)
                if d >= half:
                    continue
                cov = 1.0 if d <= -half else (half - d) / soft
                rgb, a = paint(cx, cy)
                self.put(x, y, rgb, a * cov * alpha)

    def shadow(self, dist, box, rgb=(0, 0, 0), alpha=0.35, spread=4.0, dx=0.0, dy=1.5):
        """A soft shadow of the shape: alpha falls off over spread pixels."""
        x0, y0, x1, y1 = box
        box = (x0 + dx - spread, y0 + dy - spread, x1 + dx + spread, y1 + dy + spread)

        def falloff(x, y):
            d = dist(x - dx, y - dy)
            t = max(0.0, min(1.0, 1.0 - (d + spread * 0.3) / spread))
            return t * t * (3 - 2 * t)

        x0, y0, x1, y1 = [int(v) for v in box]
        for y in range(max(0, y0), min(self.h, y1 + 1)):
            for x in range(max(0, x0), min(self.w, x1 + 1)):
                a = falloff(x + 0.5, y + 0.5) * alpha
                if a > 0.002:
                    self.put(x, y, rgb, a)

    def rows(self):
        """8-bit straight RGBA rows; the key colour nudged off by one."""
        out = []
        p = self.px
        for y in range(self.h):
            row = bytearray()
            for x in range(self.w):
                i = (y * self.w + x) * 4
                a = p[i + 3]
                if a <= 0.0:
                    row += b"\0\0\0\0"
                    continue
                r = min(255, int(p[i] / a * 255.0 + 0.5))
                g = min(255, int(p[i + 1] / a * 255.0 + 0.5))
                b = min(255, int(p[i + 2] / a * 255.0 + 0.5))
                ai = min(255, int(a * 255.0 + 0.5))
                if ai == 0:
                    row += b"\0\0\0\0"
                    continue
                if (r, g, b) == KEY_RGB:
                    b -= 1
                row += bytes((r, g, b, ai))
            out.append(bytes(row))
        return out


# ---------------------------------------------------------------------------
# Shapes: signed distances (negative inside).


def everywhere(x, y):
    """The whole picture (or the fill's box)."""
    return -1.0


def rrect(x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - r, (y1 - y0) / 2.0 - r

    def d(x, y):
        qx = abs(x - cx) - hx
        qy = abs(y - cy) - hy
        ox, oy = max(qx, 0.0), max(qy, 0.0)
        return math.hypot(ox, oy) + min(max(qx, qy), 0.0) - r

    return d


def rrect_top(x0, y0, x1, y1, r):
    """Rounded at the top corners only."""
    full = rrect(x0, y0, x1, y1 + r, r)
    return lambda x, y: max(full(x, y), y - y1)


def rrect_bottom(x0, y0, x1, y1, r):
    full = rrect(x0, y0 - r, x1, y1, r)
    return lambda x, y: max(full(x, y), y0 - y)


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def ring(cx, cy, r, width):
    return lambda x, y: abs(math.hypot(x - cx, y - cy) - r) - width / 2.0


def capsule(ax, ay, bx, by, width):
    dx, dy = bx - ax, by - ay
    ll = dx * dx + dy * dy or 1e-9

    def d(x, y):
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / ll))
        return math.hypot(x - ax - t * dx, y - ay - t * dy) - width / 2.0

    return d


def polyline(points, width):
    parts = [capsule(*points[i], *points[i + 1], width) for i in range(len(points) - 1)]
    return lambda x, y: min(p(x, y) for p in parts)


def polygon(points):
    n = len(points)

    def d(x, y):
        best = float("inf")
        inside = False
        for i in range(n):
            ax, ay = points[i]
            bx, by = points[(i + 1) % n]
            ex, ey = bx - ax, by - ay
            ll = ex * ex + ey * ey or 1e-9
            t = max(0.0, min(1.0, ((x - ax) * ex + (y - ay) * ey) / ll))
            best = min(best, math.hypot(x - ax - t * ex, y - ay - t * ey))
            if (ay > y) != (by > y) and x < ax + (y - ay) * ex / (ey or 1e-9):
                inside = not inside
        return -best if inside else best

    return d


def union(*shapes):
    return lambda x, y: min(s(x, y) for s in shapes)


def cut(shape, hole):
    return lambda x, y: max(shape(x, y), -hole(x, y))


def inset(shape, by):
    return lambda x, y: shape(x, y) + by


def outline(shape, width):
    """A band of the given width just inside the shape's edge."""
    return lambda x, y: abs(shape(x, y) + width / 2.0) - width / 2.0


def arc_points(cx, cy, r, a0, a1, steps=12):
    return [
        (cx + r * math.cos(a0 + (a1 - a0) * i / steps), cy + r * math.sin(a0 + (a1 - a0) * i / steps))
        for i in range(steps + 1)
    ]


# ---------------------------------------------------------------------------
# Paints: (x, y) -> (rgb, alpha).


def solid(rgb, a=1.0):
    return lambda x, y: (rgb, a)


def vgrad(y0, y1, stops):
    """Vertical gradient; stops are (t, rgb, alpha)."""

    def p(x, y):
        t = 0.0 if y1 == y0 else max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        for i in range(len(stops) - 1):
            t0, c0, a0 = stops[i]
            t1, c1, a1 = stops[i + 1]
            if t <= t1 or i == len(stops) - 2:
                u = 0.0 if t1 == t0 else max(0.0, min(1.0, (t - t0) / (t1 - t0)))
                return mix(c0, c1, u), a0 + (a1 - a0) * u
        return stops[-1][1], stops[-1][2]

    return p


def hgrad(x0, x1, stops):
    g = vgrad(x0, x1, stops)
    return lambda x, y: g(0, x)


def radial(cx, cy, r, inner, outer, ai=1.0, ao=1.0):
    def p(x, y):
        t = min(1.0, math.hypot(x - cx, y - cy) / r)
        return mix(inner, outer, t), ai + (ao - ai) * t

    return p


# ---------------------------------------------------------------------------
# A small stroke font: capitals and the lower-case letters of the name, on a
# grid 0..10 high (baseline 10, x-height 4), each glyph with its advance.

def _g(adv, *strokes):
    return adv, strokes


_O = arc_points(3.0, 7.0, 3.0, 0, 2 * math.pi, 20)
GLYPHS = {
    "K": _g(7, [(0, 0), (0, 10)], [(6, 0), (0.6, 6)], [(2.2, 4.6), (6.2, 10)]),
    "o": _g(7, _O),
    "r": _g(4.6, [(0, 4), (0, 10)], arc_points(3.4, 7.2, 3.4, math.pi, 1.62 * math.pi, 8)),
    "v": _g(6.4, [(0, 4), (3, 10), (6, 4)]),
    "e": _g(7, [(0.2, 7), (6, 7)], arc_points(3.0, 7.0, 3.0, 0, -1.72 * math.pi, 18)),
    "l": _g(2.6, [(0, 0), (0, 10)]),
    "A": _g(7.6, [(0, 10), (3.6, 0), (7.2, 10)], [(1.3, 6.6), (5.9, 6.6)]),
    "E": _g(6, [(5.6, 0), (0, 0), (0, 10), (5.6, 10)], [(0, 5), (4.6, 5)]),
    "F": _g(5.8, [(5.6, 0), (0, 0), (0, 10)], [(0, 5), (4.6, 5)]),
    "J": _g(5.4, [(4.6, 0), (4.6, 7.6)], arc_points(2.4, 7.6, 2.2, 0, math.pi, 10)),
    "N": _g(7.2, [(0, 10), (0, 0), (6.6, 10), (6.6, 0)]),
    "P": _g(6.4, [(0, 10), (0, 0), (3.4, 0)] + arc_points(3.4, 2.75, 2.75, -math.pi / 2, math.pi / 2, 10)[1:] + [(0, 5.5)]),
    "R": _g(6.6, [(0, 10), (0, 0), (3.4, 0)] + arc_points(3.4, 2.75, 2.75, -math.pi / 2, math.pi / 2, 10)[1:] + [(0, 5.5)], [(3, 5.5), (6.2, 10)]),
    "S": _g(6.4, arc_points(3.1, 2.6, 2.6, -0.15 * math.pi, -1.5 * math.pi, 12)
        + arc_points(3.1, 7.4, 2.6, -0.5 * math.pi, 0.85 * math.pi, 12)),
    "T": _g(7, [(0, 0), (6.6, 0)], [(3.3, 0), (3.3, 10)]),
}


def glyph_lines(text, x, y, size):
    """Strokes of the text (a list of polylines), the grid scaled to size pixels."""
    s = size / 10.0
    lines = []
    pen = x
    for ch in text:
        if ch == " ":
            pen += 3.5 * s
            continue
        adv, strokes = GLYPHS[ch]
        for stroke in strokes:
            if stroke:
                lines.append([(pen + px * s, y + py * s) for px, py in stroke])
        pen += (adv + 1.6) * s
    return lines, pen - 1.6 * s - x


def text_width(text, size):
    return glyph_lines(text, 0, 0, size)[1]


def text_shape(text, x, y, size, weight):
    lines, _ = glyph_lines(text, x, y, size)
    parts = [polyline(l, weight) for l in lines]
    return lambda px, py: min(p(px, py) for p in parts)


def draw_text(img, text, x, y, size, weight, paint, alpha=1.0):
    w = text_width(text, size)
    img.fill(text_shape(text, x, y, size, weight), paint, (x - weight, y - weight, x + w + weight, y + size + weight), alpha)


# ---------------------------------------------------------------------------
# Building blocks


def glossy_button(img, base, light, dark, radius, state, border=None):
    """A rounded button filling the picture: gradient body, a gloss on the
    upper half, a darker rim; hot is lighter with a glow, down darker and
    lit from below, inactive grey and flat."""
    w, h = img.w, img.h
    if state == "inactive":
        base, light, dark = GREY_LIGHT, (236, 238, 242), GREY
    top, bottom = light, base
    if state == "hot":
        top, bottom = mix(light, WHITE, 0.35), mix(base, light, 0.45)
    elif state == "down":
        top, bottom = mix(base, dark, 0.55), mix(base, light, 0.15)
    body = rrect(0.5, 0.5, w - 0.5, h - 0.5, radius)
    img.fill(body, solid(border or mix(dark, (0, 0, 0), 0.15)))
    inner = inset(body, 1.0)
    img.fill(inner, vgrad(1, h - 1, [(0.0, top, 1.0), (1.0, bottom, 1.0)]))
    if state != "down":
        gloss = rrect(1.5, 1.5, w - 1.5, h / 2.0 + 1.0, max(1.0, radius - 1.5))
        img.fill(gloss, vgrad(1.5, h / 2.0 + 1, [(0.0, WHITE, 0.55 if state == "hot" else 0.42), (1.0, WHITE, 0.06)]))
    else:
        img.fill(outline(inner, 2.0), vgrad(1, h, [(0.0, (0, 0, 0), 0.28), (0.5, (0, 0, 0), 0.0), (1.0, (0, 0, 0), 0.0)]))
    if state == "hot":
        img.fill(outline(inner, 1.4), solid(WHITE, 0.45))
    if state == "inactive":
        img.fill(outline(inner, 1.0), solid(WHITE, 0.6))


def raised_panel(img, radius, border, body, shadow=(0, 0, 0), shadow_alpha=0.22, spread=3.0, rim=1.0):
    """A rounded panel inset from the picture's edges, lifted by a soft
    shadow below it: a rim of the border colour round the body paint."""
    box = (3, 2, img.w - 3, img.h - 4)
    panel = rrect(*box, radius)
    img.shadow(panel, box, rgb=shadow, alpha=shadow_alpha, spread=spread, dy=1.5)
    img.fill(panel, solid(border))
    img.fill(inset(panel, rim), body)
    return panel


def badge(img, rgb, light, dark):
    """The round backdrop of the 48-pixel page icons."""
    w = img.w
    c = w / 2.0
    r = w / 2.0 - 3.0
    img.shadow(circle(c, c, r), (c - r, c - r, c + r, c + r), alpha=0.3, spread=3.0, dy=1.2)
    img.fill(circle(c, c, r), vgrad(c - r, c + r, [(0.0, light, 1.0), (1.0, rgb, 1.0)]))
    img.fill(outline(circle(c, c, r), 1.2), solid(dark, 0.8))
    gloss = lambda x, y: max(circle(c, c - r * 0.42, r * 0.72)(x, y), circle(c, c, r - 1.5)(x, y))
    img.fill(gloss, vgrad(c - r, c, [(0.0, WHITE, 0.45), (1.0, WHITE, 0.0)]), (0, 0, w, c))
    return c, r


# ---------------------------------------------------------------------------
# Icon motifs, drawn white (or in the given colour) into a square around (c, c).


def star(cx, cy, s):
    pts = []
    for i in range(10):
        a = -math.pi / 2 + i * math.pi / 5
        rr = s if i % 2 == 0 else s * 0.45
        pts.append((cx + rr * math.cos(a), cy + rr * math.sin(a)))
    return polygon(pts)


def motif_star(img, c, s, rgb=WHITE):
    img.fill(star(c, c, s), solid(rgb))


def motif_gear(img, c, s, rgb=WHITE):
    teeth = []
    for i in range(8):
        a = i * math.pi / 4
        teeth.append(capsule(c + s * 0.55 * math.cos(a), c + s * 0.55 * math.sin(a),
                             c + s * 0.92 * math.cos(a), c + s * 0.92 * math.sin(a), s * 0.32))
    gear = cut(union(circle(c, c, s * 0.68), *teeth), circle(c, c, s * 0.28))
    img.fill(gear, solid(rgb))


def motif_magnifier(img, cx, cy, s, rgb=WHITE):
    img.fill(ring(cx - s * 0.18, cy - s * 0.18, s * 0.5, s * 0.2), solid(rgb))
    img.fill(capsule(cx + s * 0.2, cy + s * 0.2, cx + s * 0.75, cy + s * 0.75, s * 0.26), solid(rgb))


def motif_check(img, c, s, rgb=WHITE, weight=None):
    weight = weight or s * 0.3
    img.fill(polyline([(c - s * 0.62, c + s * 0.02), (c - s * 0.18, c + s * 0.48), (c + s * 0.66, c - s * 0.46)], weight),
             solid(rgb))


def motif_wrench(img, c, s, rgb=WHITE):
    img.fill(capsule(c - s * 0.55, c + s * 0.55, c + s * 0.2, c - s * 0.2, s * 0.28), solid(rgb))
    head = cut(circle(c + s * 0.32, c - s * 0.32, s * 0.42), circle(c + s * 0.52, c - s * 0.52, s * 0.2))
    img.fill(head, solid(rgb))


def motif_bolt(img, c, s, rgb=WHITE):
    pts = [(c + s * 0.12, c - s * 0.9), (c - s * 0.55, c + s * 0.12), (c - s * 0.02, c + s * 0.12),
           (c - s * 0.16, c + s * 0.9), (c + s * 0.55, c - s * 0.14), (c + s * 0.02, c - s * 0.14)]
    img.fill(polygon(pts), solid(rgb))


def motif_list(img, c, s, rgb=WHITE):
    for i in range(3):
        y = c - s * 0.5 + i * s * 0.5
        img.fill(circle(c - s * 0.6, y, s * 0.13), solid(rgb))
        img.fill(capsule(c - s * 0.3, y, c + s * 0.7, y, s * 0.2), solid(rgb))


def motif_lifebuoy(img, c, s, rgb=WHITE, stripe=RED):
    img.fill(ring(c, c, s * 0.62, s * 0.36), solid(rgb))
    for i in range(4):
        a = math.pi / 4 + i * math.pi / 2
        seg = lambda x, y, a=a: max(ring(c, c, s * 0.62, s * 0.36)(x, y),
                                    abs(math.atan2(math.sin(math.atan2(y - c, x - c) - a),
                                                   math.cos(math.atan2(y - c, x - c) - a))) * s * 0.62 - s * 0.2)
        img.fill(seg, solid(stripe))


def motif_key(img, c, s, rgb=WHITE):
    img.fill(ring(c - s * 0.38, c - s * 0.1, s * 0.3, s * 0.18), solid(rgb))
    img.fill(capsule(c - s * 0.1, c - s * 0.1, c + s * 0.78, c - s * 0.1, s * 0.2), solid(rgb))
    img.fill(capsule(c + s * 0.5, c - s * 0.1, c + s * 0.5, c + s * 0.22, s * 0.16), solid(rgb))
    img.fill(capsule(c + s * 0.72, c - s * 0.1, c + s * 0.72, c + s * 0.3, s * 0.16), solid(rgb))


def motif_question(img, c, s, rgb=WHITE):
    pts = arc_points(c, c - s * 0.32, s * 0.34, math.pi * 1.05, math.pi * 2.35, 14) + [(c, c + s * 0.22)]
    img.fill(polyline(pts, s * 0.22), solid(rgb))
    img.fill(circle(c, c + s * 0.62, s * 0.14), solid(rgb))


def motif_info(img, c, s, rgb=WHITE):
    img.fill(circle(c, c - s * 0.58, s * 0.15), solid(rgb))
    img.fill(capsule(c, c - s * 0.2, c, c + s * 0.68, s * 0.24), solid(rgb))


def motif_exclaim(img, cx, cy, s, rgb=WHITE):
    img.fill(capsule(cx, cy - s * 0.62, cx, cy + s * 0.2, s * 0.24), solid(rgb))
    img.fill(circle(cx, cy + s * 0.6, s * 0.15), solid(rgb))


def motif_flag(img, c, s, rgb=WHITE):
    img.fill(capsule(c - s * 0.55, c - s * 0.75, c - s * 0.55, c + s * 0.8, s * 0.16), solid(rgb))
    pts = [(c - s * 0.5, c - s * 0.72), (c + s * 0.7, c - s * 0.5), (c - s * 0.5, c - s * 0.05)]
    img.fill(polygon(pts), solid(rgb))


def motif_radar(img, c, s, rgb=WHITE):
    img.fill(ring(c, c, s * 0.78, s * 0.12), solid(rgb, 0.9))
    img.fill(ring(c, c, s * 0.45, s * 0.1), solid(rgb, 0.7))
    img.fill(capsule(c, c, c + s * 0.55, c - s * 0.55, s * 0.16), solid(rgb))
    img.fill(circle(c, c, s * 0.13), solid(rgb))


def motif_clock(img, c, s, rgb=WHITE):
    """Work under way."""
    img.fill(ring(c, c, s * 0.72, s * 0.22), solid(rgb))
    img.fill(polyline([(c, c - s * 0.45), (c, c), (c + s * 0.36, c + s * 0.2)], s * 0.2), solid(rgb))


def motif_blocks(img, c, s, rgb=WHITE):
    """Stacked registry blocks."""
    for i, (ox, oy) in enumerate(((-0.5, -0.5), (0.1, -0.5), (-0.5, 0.1), (0.1, 0.1))):
        a = 1.0 if i != 3 else 0.55
        img.fill(rrect(c + ox * s, c + oy * s, c + (ox + 0.5) * s, c + (oy + 0.5) * s, s * 0.08), solid(rgb, a))


def motif_disk(img, c, s, rgb=WHITE):
    img.fill(rrect(c - s * 0.75, c - s * 0.45, c + s * 0.75, c + s * 0.45, s * 0.16), solid(rgb))
    img.fill(circle(c + s * 0.45, c, s * 0.1), solid(BLUE_DARK))
    img.fill(capsule(c - s * 0.5, c, c + s * 0.15, c, s * 0.1), solid(BLUE_DARK, 0.8))


def motif_shield(img, c, s, rgb=WHITE):
    pts = [(c, c - s * 0.85), (c + s * 0.7, c - s * 0.58), (c + s * 0.6, c + s * 0.2), (c, c + s * 0.88),
           (c - s * 0.6, c + s * 0.2), (c - s * 0.7, c - s * 0.58)]
    img.fill(polygon(pts), solid(rgb))


def motif_arrow_up(img, c, s, rgb=WHITE):
    img.fill(polygon([(c, c - s * 0.8), (c + s * 0.62, c - s * 0.1), (c + s * 0.24, c - s * 0.1),
                      (c + s * 0.24, c + s * 0.75), (c - s * 0.24, c + s * 0.75), (c - s * 0.24, c - s * 0.1),
                      (c - s * 0.62, c - s * 0.1)]), solid(rgb))


def motif_phone(img, c, s, rgb=WHITE):
    """A handset from top left (ear) to bottom right (mouth), bowed toward the bottom left."""
    ox, oy, r = c + 0.45 * s, c - 0.45 * s, 1.005 * s
    grip = polyline(arc_points(ox, oy, r, math.pi / 2 - 0.1, math.pi + 0.1, 14), s * 0.3)
    ear = capsule(c - 0.55 * s, c - 0.55 * s, c - 0.22 * s, c - 0.51 * s, s * 0.46)
    mouth = capsule(c + 0.55 * s, c + 0.55 * s, c + 0.51 * s, c + 0.22 * s, s * 0.46)
    img.fill(union(grip, ear, mouth), solid(rgb))


# ---------------------------------------------------------------------------
# The pictures


def page_icon(motif, rgb=BLUE, light=BLUE_LIGHT, dark=BLUE_DARK, size=48):
    def make():
        img = Image(size, size)
        c, r = badge(img, rgb, light, dark)
        motif(img, c, r * 0.55)
        return img

    return make


def small_icon(motif, rgb=BLUE, light=BLUE_LIGHT, dark=BLUE_DARK, size=24):
    def make():
        img = Image(size, size)
        c = size / 2.0
        r = size / 2.0 - 1.5
        img.fill(circle(c, c, r), vgrad(0, size, [(0.0, light, 1.0), (1.0, rgb, 1.0)]))
        img.fill(outline(circle(c, c, r), 1.0), solid(dark, 0.7))
        motif(img, c, r * 0.58)
        return img

    return make


def logo(glass):
    def make():
        img = Image(210, 46)
        c = 23.0
        if glass:
            img.shadow(rrect(2, 4, 204, 42, 18), (2, 4, 204, 42), rgb=(255, 255, 255), alpha=0.28, spread=6, dy=0)
        # The mark: a blue gauge disc with a green needle.
        img.shadow(circle(c, c, 17), (6, 6, 40, 40), alpha=0.35, spread=3, dy=1.5)
        img.fill(circle(c, c, 17), vgrad(6, 40, [(0.0, BLUE_LIGHT, 1.0), (1.0, BLUE_DARK, 1.0)]))
        img.fill(outline(circle(c, c, 17), 1.4), solid(WHITE, 0.85))
        img.fill(polyline(arc_points(c, c + 2, 10, math.pi * 1.1, math.pi * 1.9, 14), 2.6), solid(WHITE, 0.9))
        img.fill(capsule(c, c + 2, c + 6.5, c - 6.5, 3.0), solid(GREEN_LIGHT))
        img.fill(circle(c, c + 2, 2.6), solid(WHITE))
        ink = NAVY if glass else WHITE
        if glass:
            draw_text(img, "Korvelle", 48, 13, 22, 3.2, solid(WHITE), alpha=0.55)
        draw_text(img, "Korvelle", 47, 12, 22, 2.8, solid(ink))
        return img

    return make


def logo_text(glass):
    def make():
        img = Image(140, 30)
        ink = NAVY if glass else WHITE
        img.shadow(text_shape("Korvelle", 6, 5, 20, 2.6), (4, 4, 134, 27),
                   rgb=WHITE if glass else (0, 0, 0), alpha=0.3, spread=2.5, dy=1.0)
        draw_text(img, "Korvelle", 6, 5, 20, 2.6, solid(ink))
        return img

    return make


def tab(state):
    def make():
        img = Image(44, 32)
        w, h = img.w, img.h
        shape = rrect_top(0.5, 0.5, w - 0.5, h, 7)
        if state == "active":
            img.fill(shape, solid((157, 183, 214)))
            img.fill(inset(shape, 1.0), vgrad(0, h, [(0.0, WHITE, 1.0), (1.0, PAPER, 1.0)]))
        else:
            top = (76, 128, 196) if state == "hot" else (52, 98, 160)
            bottom = (52, 100, 170) if state == "hot" else (34, 72, 128)
            img.fill(shape, solid((118, 160, 214), 0.9 if state == "hot" else 0.7))
            img.fill(inset(shape, 1.0), vgrad(0, h, [(0.0, top, 0.95), (1.0, bottom, 0.9)]))
            img.fill(rrect_top(1.5, 1.5, w - 1.5, h / 2, 6), vgrad(0, h / 2, [(0.0, WHITE, 0.3), (1.0, WHITE, 0.04)]))
        return img

    return make


def steps_bg():
    img = Image(48, 64)
    w, h = img.w, img.h
    img.fill(everywhere, vgrad(0, h, [(0.0, WHITE, 1.0), (1.0, (234, 241, 249), 1.0)]))
    # Soft shading inward from both sides and a hair line at the bottom.
    img.fill(everywhere, hgrad(0, 16, [(0.0, (198, 214, 234), 0.9), (1.0, (198, 214, 234), 0.0)]), (0, 0, 16, h))
    img.fill(everywhere, hgrad(w - 17, w, [(0.0, (198, 214, 234), 0.0), (1.0, (198, 214, 234), 0.9)]),
             (w - 17, 0, w, h))
    img.fill(everywhere, solid((170, 192, 220), 0.8), (0, h - 1, w, h))
    # The outer columns are a half-covered line, so the panel's sides blend
    # into whatever lies beside it.
    for x in (0, w - 1):
        for y in range(h):
            i = (y * w + x) * 4
            img.px[i:i + 4] = [0.0, 0.0, 0.0, 0.0]
            img.put(x, y, (150, 176, 210), 0.7)
    return img


def step_bullet(kind):
    def make():
        img = Image(18, 18)
        c = 9.0
        if kind == "current":
            img.shadow(circle(c, c, 7), (2, 2, 16, 16), alpha=0.3, spread=2, dy=1)
            img.fill(circle(c, c, 7), vgrad(2, 16, [(0.0, GREEN_LIGHT, 1.0), (1.0, GREEN, 1.0)]))
            img.fill(outline(circle(c, c, 7), 1.0), solid(GREEN_DARK))
            img.fill(polygon([(7, 5.2), (12.2, 9), (7, 12.8)]), solid(WHITE))
        elif kind == "normal":
            img.fill(circle(c, c, 6.5), vgrad(2, 16, [(0.0, WHITE, 1.0), (1.0, SKY, 1.0)]))
            img.fill(outline(circle(c, c, 6.5), 1.6), solid(BLUE))
            img.fill(circle(c, c, 2.4), solid(BLUE))
        else:
            img.fill(circle(c, c, 6.5), solid((240, 242, 245)))
            img.fill(outline(circle(c, c, 6.5), 1.3), solid(GREY))
        return img

    return make


def header_line():
    img = Image(320, 3)
    stops = [(0.0, BLUE, 0.0), (0.15, BLUE, 0.85), (0.85, BLUE_LIGHT, 0.85), (1.0, BLUE_LIGHT, 0.0)]
    img.fill(everywhere, hgrad(0, 320, stops), (0, 0, 320, 2))
    img.fill(everywhere, hgrad(0, 320, [(0.0, WHITE, 0.0), (0.5, WHITE, 0.9), (1.0, WHITE, 0.0)]), (0, 2, 320, 3))
    return img


def bg_top():
    img = Image(776, 76)
    w, h = img.w, img.h
    shape = rrect_top(0, 0, w, h, 8)
    img.fill(shape, vgrad(0, h, [(0.0, (38, 96, 170), 1.0), (0.55, BLUE_DARK, 1.0), (1.0, NAVY, 1.0)]))
    # A light sweep across the upper right, and a fine highlight under the top edge.
    img.fill(lambda x, y: math.hypot((x - w * 0.78) / 3.2, y + 120) - 150, solid(WHITE, 0.07), (0, 0, w, h))
    img.fill(lambda x, y: math.hypot((x - w * 0.3) / 4.0, y + 150) - 176, solid(WHITE, 0.05), (0, 0, w, h))
    img.fill(shape, lambda x, y: (WHITE, max(0.0, 0.35 - y * 0.3)), (0, 0, w, 2))
    img.fill(everywhere, solid((14, 34, 62), 0.9), (0, h - 1, w, h))
    return img


def bg_bottom():
    img = Image(776, 44)
    w, h = img.w, img.h
    # A soft shadow over the top rows falls onto what lies above the bar.
    img.fill(everywhere, vgrad(0, 4, [(0.0, NAVY, 0.0), (1.0, NAVY, 0.22)]), (0, 0, w, 4))
    img.fill(everywhere, vgrad(4, h, [(0.0, (232, 238, 246), 1.0), (1.0, (210, 221, 235), 1.0)]), (0, 4, w, h))
    img.fill(everywhere, solid((176, 196, 222)), (0, 4, w, 5))
    img.fill(everywhere, vgrad(5, 9, [(0.0, WHITE, 0.9), (1.0, WHITE, 0.0)]), (0, 5, w, 9))
    return img


def button(palette, state, w, h, radius):
    base, light, dark = palette

    def make():
        img = Image(w, h)
        glossy_button(img, base, light, dark, radius, state)
        return img

    return make


def chevron(direction):
    def make():
        img = Image(12, 12)
        if direction == "left":
            pts = [(7.8, 2.2), (3.6, 6.0), (7.8, 9.8)]
        else:
            pts = [(4.2, 2.2), (8.4, 6.0), (4.2, 9.8)]
        img.fill(polyline([(p[0], p[1] + 0.8) for p in pts], 2.4), solid((0, 0, 0), 0.25))
        img.fill(polyline(pts, 2.4), solid(WHITE))
        return img

    return make


def banner_activate():
    img = Image(174, 84)
    w, h = img.w, img.h
    raised_panel(img, 8, (196, 110, 20), vgrad(2, h - 4, [(0.0, ORANGE_LIGHT, 1.0), (1.0, ORANGE, 1.0)]),
                 shadow_alpha=0.3)
    img.fill(lambda x, y: math.hypot(x - w * 0.2, y + 60) - 100, solid(WHITE, 0.18), (3, 2, w - 3, h - 4))
    img.fill(circle(40, h / 2 - 1, 24), radial(36, 30, 26, WHITE, (255, 236, 200), 0.95, 0.9))
    motif_key(img, 40, 15, rgb=(200, 120, 20))
    for x, y, s in ((100, 24, 7), (124, 44, 9), (148, 26, 6)):
        img.fill(star(x, y, s), solid(WHITE, 0.95))
    img.fill(capsule(88, 62, 160, 62, 5), solid(WHITE, 0.85))
    return img


def banner_left():
    """The built-in left banner (the left column's advert slot), shown while
    no news item is; words-free but for the brand, so it suits every language."""
    img = Image(172, 142)
    w, h = img.w, img.h
    raised_panel(img, 8, (150, 180, 216), vgrad(2, h - 4, [(0.0, SKY, 1.0), (1.0, WHITE, 1.0)]))
    img.fill(lambda x, y: math.hypot(x - w * 0.75, y + 80) - 120, solid(WHITE, 0.35), (3, 2, w - 3, h - 4))
    img.fill(circle(w / 2, 50, 30), radial(w / 2 - 6, 42, 32, BLUE_LIGHT, BLUE_DARK, 1.0, 1.0))
    cx, cy, r = w / 2, 50, 17
    img.fill(polygon([(cx, cy - r * 0.85), (cx + r * 0.7, cy - r * 0.58), (cx + r * 0.6, cy + r * 0.2),
                      (cx, cy + r * 0.88), (cx - r * 0.6, cy + r * 0.2), (cx - r * 0.7, cy - r * 0.58)]),
             solid(WHITE))
    tw = text_width("Korvelle", 16)
    draw_text(img, "Korvelle", (w - tw) / 2, 94, 16, 2.2, solid(NAVY))
    img.fill(capsule(46, 124, w - 46, 124, 5), solid(GREEN))
    return img


def banner_bottom():
    """The built-in bottom banner (598 px, the bottom bar's advert slot)."""
    img = Image(598, 78)
    w, h = img.w, img.h
    raised_panel(img, 8, (28, 70, 130), vgrad(2, h - 4, [(0.0, BLUE, 1.0), (1.0, BLUE_DARK, 1.0)]),
                 shadow_alpha=0.25)
    img.fill(lambda x, y: math.hypot((x - w * 0.3) / 3.0, y + 90) - 110, solid(WHITE, 0.12), (3, 2, w - 3, h - 4))
    img.fill(circle(44, h / 2 - 1, 24), radial(40, 30, 26, WHITE, SKY, 0.95, 0.9))
    cx, cy, r = 44, h / 2 - 1, 15
    img.fill(polygon([(cx + r * 0.12, cy - r * 0.9), (cx - r * 0.55, cy + r * 0.12), (cx - r * 0.02, cy + r * 0.12),
                      (cx - r * 0.16, cy + r * 0.9), (cx + r * 0.55, cy - r * 0.14), (cx + r * 0.02, cy - r * 0.14)]),
             solid(BLUE_DARK))
    draw_text(img, "Korvelle", 84, 24, 26, 3.2, solid(WHITE))
    for x, y, r in ((420, 22, 8), (456, 46, 11), (500, 26, 7), (540, 50, 9)):
        img.fill(star(x, y, r), solid(WHITE, 0.9))
    img.fill(capsule(300, 39, 380, 39, 6), solid(GREEN_LIGHT, 0.95))
    return img


def separator(w, h, rgb):
    def make():
        img = Image(w, h)
        mid = h / 2.0
        img.fill(everywhere, hgrad(0, w, [(0.0, rgb, 0.0), (0.2, rgb, 0.8), (0.8, rgb, 0.8), (1.0, rgb, 0.0)]),
                 (0, mid - 1, w, mid))
        img.fill(everywhere, hgrad(0, w, [(0.0, WHITE, 0.0), (0.5, WHITE, 1.0), (1.0, WHITE, 0.0)]),
                 (0, mid, w, mid + 1))
        return img

    return make


def rect_border():
    img = Image(26, 26)
    raised_panel(img, 4, (180, 198, 222), solid(WHITE))
    return img


def red_border():
    img = Image(26, 32)
    raised_panel(img, 5, RED, vgrad(2, img.h, [(0.0, (255, 246, 244), 1.0), (1.0, (253, 232, 228), 1.0)]),
                 shadow=RED_DARK, shadow_alpha=0.25, rim=1.5)
    return img


def results_table():
    img = Image(240, 180)
    w, h = img.w, img.h
    panel = raised_panel(img, 8, (176, 196, 222), solid(WHITE), spread=3.5)
    # The header band across the top and the icon column down the left.
    head = lambda x, y: max(inset(panel, 1.0)(x, y), y - 44)
    img.fill(head, vgrad(3, 44, [(0.0, (236, 244, 252), 1.0), (1.0, (212, 228, 246), 1.0)]))
    img.fill(everywhere, solid((176, 196, 222)), (4, 44, w - 4, 45))
    img.fill(everywhere, vgrad(45, h - 5, [(0.0, (244, 248, 252), 1.0), (1.0, (250, 252, 254), 1.0)]),
             (4, 45, 96, h - 5))
    img.fill(everywhere, solid((206, 220, 238)), (96, 45, 97, h - 5))
    return img


def support_tab(state):
    def make():
        img = Image(44, 32)
        w, h = img.w, img.h
        shape = rrect(1, 1, w - 1, h - 1, 5)
        if state == "active":
            img.fill(shape, solid((150, 180, 216)))
            img.fill(inset(shape, 1.0), vgrad(0, h, [(0.0, WHITE, 1.0), (1.0, SKY, 1.0)]))
            img.fill(lambda x, y: max(inset(shape, 1.0)(x, y), x - 5), solid(BLUE), (0, 0, 6, h))
        else:
            img.fill(shape, solid((170, 196, 226), 0.8))
            img.fill(inset(shape, 1.0), vgrad(0, h, [(0.0, (246, 250, 255), 0.95), (1.0, (226, 238, 252), 0.95)]))
        return img

    return make


def title_button(kind, state, warning=False):
    def make():
        img = Image(28, 22)
        w, h = img.w, img.h
        shape = rrect(1, 1, w - 1, h - 1, 4)
        if kind == "close":
            base = {"normal": (194, 70, 62), "hot": (232, 88, 72), "down": (150, 38, 34)}[state]
        else:
            base = {"normal": (58, 108, 178), "hot": (88, 142, 214), "down": (34, 70, 126)}[state]
            if warning:
                base = mix(base, RED, 0.6)
        if warning and kind == "close":
            base = mix(base, (120, 20, 20), 0.2)
        light = mix(base, WHITE, 0.35 if state != "down" else 0.05)
        img.fill(shape, solid(mix(base, (0, 0, 0), 0.35), 0.9))
        img.fill(inset(shape, 1.0), vgrad(1, h - 1, [(0.0, light, 1.0), (1.0, base, 1.0)]))
        if state != "down":
            img.fill(rrect(2, 2, w - 2, h / 2, 3), vgrad(2, h / 2, [(0.0, WHITE, 0.38), (1.0, WHITE, 0.05)]))
        c = (w / 2.0, h / 2.0 + (0.6 if state == "down" else 0.0))
        if kind == "close":
            img.fill(capsule(c[0] - 4, c[1] - 4, c[0] + 4, c[1] + 4, 2.2), solid(WHITE))
            img.fill(capsule(c[0] - 4, c[1] + 4, c[0] + 4, c[1] - 4, 2.2), solid(WHITE))
        else:
            img.fill(capsule(c[0] - 4.5, c[1] + 3, c[0] + 4.5, c[1] + 3, 2.4), solid(WHITE))
        return img

    return make


def border_bg():
    img = Image(8, 64)
    w, h = img.w, img.h
    img.fill(everywhere, hgrad(0, w, [(0.0, NAVY, 1.0), (0.5, BLUE_DARK, 1.0), (1.0, NAVY, 0.85)]))
    img.fill(everywhere, solid(WHITE, 0.2), (1, 0, 2, h))
    return img


def repair_done():
    img = Image(64, 64)
    c = 32.0
    img.shadow(circle(c, c, 27), (5, 5, 59, 59), alpha=0.3, spread=4, dy=2)
    img.fill(circle(c, c, 27), vgrad(5, 59, [(0.0, GREEN_LIGHT, 1.0), (1.0, GREEN_DARK, 1.0)]))
    img.fill(outline(circle(c, c, 27), 1.5), solid(WHITE, 0.8))
    img.fill(circle(c, c - 11, 20), vgrad(5, 32, [(0.0, WHITE, 0.4), (1.0, WHITE, 0.0)]), (0, 0, 64, 32))
    motif_check(img, c, 15, weight=5.5)
    return img


def shadow_bg():
    img = Image(220, 76)
    w, h = img.w, img.h
    img.shadow(rrect(18, 14, w - 18, h - 14, 20), (18, 14, w - 18, h - 14), alpha=0.38, spread=14, dy=0)
    return img


def phone(glass):
    def make():
        img = Image(60, 60)
        c = 30.0
        if glass:
            img.shadow(circle(c, c, 22), (8, 8, 52, 52), rgb=WHITE, alpha=0.35, spread=6, dy=0)
        img.shadow(circle(c, c, 21), (9, 9, 51, 51), alpha=0.3, spread=3, dy=1.5)
        img.fill(circle(c, c, 21), vgrad(9, 51, [(0.0, GREEN_LIGHT, 1.0), (1.0, GREEN, 1.0)]))
        img.fill(outline(circle(c, c, 21), 1.4), solid(WHITE, 0.9))
        motif_phone(img, c, 12)
        return img

    return make


def warning_bg():
    img = Image(64, 300)
    w, h = img.w, img.h
    frame = rrect(0.5, 0.5, w - 0.5, h - 0.5, 3)
    img.fill(frame, solid(RED_DARK))
    inner = inset(frame, 1.0)
    img.fill(lambda x, y: max(inner(x, y), y - 120), vgrad(0, 120, [(0.0, RED_LIGHT, 1.0), (0.5, RED, 1.0), (1.0, RED_DARK, 1.0)]))
    img.fill(lambda x, y: max(inner(x, y), 120 - y, y - 139), vgrad(120, 139, [(0.0, (255, 246, 244), 1.0), (1.0, WHITE, 1.0)]))
    img.fill(lambda x, y: max(inner(x, y), 139 - y, y - (h - 60)), solid(WHITE))
    img.fill(lambda x, y: max(inner(x, y), (h - 60) - y), vgrad(h - 60, h, [(0.0, (246, 240, 240), 1.0), (1.0, (228, 216, 216), 1.0)]))
    img.fill(everywhere, solid((210, 180, 180)), (1, h - 60, w - 1, h - 59))
    img.fill(lambda x, y: max(inner(x, y), y - 60), vgrad(1, 60, [(0.0, WHITE, 0.3), (1.0, WHITE, 0.0)]), (0, 0, w, 60))
    return img


def warning_logo():
    img = Image(176, 40)
    c = 20.0
    tri = polygon([(c, 4.5), (c + 16, 34), (c - 16, 34)])
    img.shadow(tri, (4, 4, 36, 34), alpha=0.35, spread=2.5, dy=1.2)
    img.fill(tri, vgrad(4, 34, [(0.0, ORANGE_LIGHT, 1.0), (1.0, ORANGE, 1.0)]))
    img.fill(outline(tri, 1.2), solid(WHITE))
    motif_exclaim(img, c, 23, 11, rgb=(120, 40, 20))
    draw_text(img, "Korvelle", 44, 10, 20, 2.6, solid(WHITE))
    return img


def table():
    img = Image(160, 64)
    w, h = img.w, img.h
    panel = rrect(1, 1, w - 1, h - 1, 5)
    img.fill(panel, solid((214, 178, 176)))
    img.fill(inset(panel, 1.0), solid(WHITE))
    img.fill(lambda x, y: max(inset(panel, 1.0)(x, y), y - 28), vgrad(1, 28, [(0.0, (253, 240, 238), 1.0), (1.0, (246, 222, 218), 1.0)]))
    img.fill(everywhere, solid((214, 178, 176)), (2, 28, w - 2, 29))
    img.fill(everywhere, solid((232, 210, 208)), (65, 29, 66, h - 2))
    return img


def dot():
    img = Image(10, 10)
    img.fill(circle(5, 5, 3.4), vgrad(1, 9, [(0.0, RED_LIGHT, 1.0), (1.0, RED, 1.0)]))
    return img


def warning_line():
    return separator(240, 4, (200, 120, 112))()


def certificate(code):
    def make():
        img = Image(120, 132)
        c = 60.0
        # Two ribbon tails, then a scalloped seal with a laurel of dots.
        for sx in (-1, 1):
            tail = polygon([(c + sx * 8, 70), (c + sx * 30, 70), (c + sx * 26, 128), (c + sx * 16, 116), (c + sx * 6, 126)])
            img.fill(tail, vgrad(70, 128, [(0.0, BLUE, 1.0), (1.0, BLUE_DARK, 1.0)]))
        scallop = lambda x, y: math.hypot(x - c, y - 56) - (46 + 3.0 * math.cos(16 * math.atan2(y - 56, x - c)))
        img.shadow(scallop, (8, 4, 112, 108), alpha=0.3, spread=3, dy=1.5)
        img.fill(scallop, vgrad(6, 106, [(0.0, GOLD_LIGHT, 1.0), (1.0, GOLD, 1.0)]))
        img.fill(ring(c, 56, 38, 1.6), solid((176, 122, 28)))
        img.fill(circle(c, 56, 34), radial(52, 44, 40, (255, 246, 214), GOLD_LIGHT))
        for i in range(18):
            a = math.pi * (0.62 + 1.76 * i / 17.0)
            img.fill(circle(c + 29 * math.cos(a), 56 + 29 * math.sin(a), 2.2), solid((190, 140, 40)))
        if code:
            tw = text_width(code, 17)
            draw_text(img, code, c - tw / 2.0, 47, 17, 2.8, solid((120, 78, 10)))
        else:
            motif_check(img, c, 15, rgb=(120, 78, 10), weight=5)
        return img

    return make


def update_icon():
    return small_icon(motif_arrow_up, GREEN, GREEN_LIGHT, GREEN_DARK, 20)()


def progress_icon(n):
    motifs = {1: (motif_blocks, BLUE, BLUE_LIGHT, BLUE_DARK),
              2: (motif_clock, ORANGE, ORANGE_LIGHT, (190, 100, 10)),
              3: (motif_check, GREEN, GREEN_LIGHT, GREEN_DARK)}
    return small_icon(*motifs[n])


def results_icon(ok):
    def make():
        img = Image(40, 40)
        if ok:
            c = 20.0
            img.shadow(circle(c, c, 16), (4, 4, 36, 36), alpha=0.3, spread=3, dy=1.2)
            img.fill(circle(c, c, 16), vgrad(4, 36, [(0.0, GREEN_LIGHT, 1.0), (1.0, GREEN, 1.0)]))
            img.fill(outline(circle(c, c, 16), 1.2), solid(GREEN_DARK))
            motif_check(img, c, 9.5, weight=3.6)
        else:
            tri = polygon([(20, 3.5), (37, 34), (3, 34)])
            img.shadow(tri, (3, 3, 37, 34), alpha=0.3, spread=3, dy=1.2)
            img.fill(tri, vgrad(3, 34, [(0.0, ORANGE_LIGHT, 1.0), (1.0, ORANGE, 1.0)]))
            img.fill(outline(tri, 1.2), solid((196, 110, 20)))
            motif_exclaim(img, 20, 23, 10, rgb=WHITE)
        return img

    return make


def support_icon(motif, rgb, light, dark):
    return small_icon(motif, rgb, light, dark, 20)


# ---------------------------------------------------------------------------
# The wizard's animations: an opaque background per animation and strips of
# frames stacked top down. The program copies a frame plainly over its
# background, so every frame starts as the background's own pixels at the
# place where it is shown and is opaque everywhere.


def anim_background(w, h):
    img = Image(w, h)
    img.fill(everywhere, solid(WHITE))
    panel = rrect(1.5, 1.5, w - 1.5, h - 1.5, 10)
    img.fill(panel, solid((196, 212, 232)))
    img.fill(inset(panel, 1.0), vgrad(2, h - 2, [(0.0, WHITE, 1.0), (1.0, (234, 242, 251), 1.0)]))
    return img


def crop(img, x0, y0, w, h):
    out = Image(w, h)
    for y in range(h):
        src = ((y0 + y) * img.w + x0) * 4
        out.px[y * w * 4:(y + 1) * w * 4] = img.px[src:src + w * 4]
    return out


def strip(background, x0, y0, w, h, frames, draw):
    """Frames of w x h, each the background at (x0, y0) with draw(img, n) over it."""
    out = Image(w, h * frames)
    for n in range(frames):
        frame = crop(background, x0, y0, w, h)
        draw(frame, n)
        out.px[n * w * h * 4:(n + 1) * w * h * 4] = frame.px
    return out


def monitor(img, cx, cy, s):
    img.fill(rrect(cx - s, cy - s * 0.75, cx + s, cy + s * 0.45, 3), solid(NAVY))
    img.fill(rrect(cx - s + 2.5, cy - s * 0.75 + 2.5, cx + s - 2.5, cy + s * 0.45 - 2.5, 1.5),
             vgrad(cy - s, cy + s * 0.5, [(0.0, BLUE_LIGHT, 1.0), (1.0, BLUE, 1.0)]))
    img.fill(capsule(cx, cy + s * 0.45, cx, cy + s * 0.75, 3.0), solid(NAVY))
    img.fill(capsule(cx - s * 0.45, cy + s * 0.8, cx + s * 0.45, cy + s * 0.8, 3.0), solid(NAVY))


def block_stack(img, cx, cy, s):
    for i, rgb in enumerate((BLUE_DARK, BLUE, BLUE_LIGHT)):
        y = cy + s * 0.55 - i * s * 0.55
        img.fill(rrect(cx - s, y - s * 0.22, cx + s, y + s * 0.22, 2.5), solid(rgb))


ANIM1_AT = (51, 23, 200, 48)


def anim1_bg():
    img = anim_background(302, 94)
    monitor(img, 27, 45, 16)
    block_stack(img, 276, 46, 15)
    return img


def anim1():
    x0, y0, w, h = ANIM1_AT

    def draw(img, n):
        # Eight registry entries; the magnifier passes over them left to right.
        mx = 12 + n * 172.0 / 19
        img.fill(capsule(4, 38, w - 4, 38, 1.2), solid((196, 212, 232)))
        for i in range(8):
            cx = 15 + i * 24.5
            if abs(cx - mx) < 12:
                rgb = ORANGE
            elif cx < mx:
                rgb = GREEN
            else:
                rgb = GREY_LIGHT
            img.fill(rrect(cx - 9, 18, cx + 9, 31, 3), solid(rgb), (cx - 10, 17, cx + 10, 32))
        box = (mx - 16, 2, mx + 16, 46)
        img.fill(ring(mx - 2, 19, 10, 3.0), solid(NAVY), box)
        img.fill(circle(mx - 2, 19, 8.6), solid(WHITE, 0.35), box)
        img.fill(capsule(mx + 5, 26.5, mx + 12, 34, 4.2), solid(NAVY), box)

    return lambda: strip(anim1_bg(), x0, y0, w, h, 20, draw)


ANIM2_1_AT = (0, 15, 214, 72)
ANIM2_2_AT = (224, 27, 127, 53)


def anim2_bg():
    return anim_background(360, 100)


def gear(cx, cy, s, angle):
    teeth = []
    for i in range(8):
        a = angle + i * math.pi / 4
        teeth.append(capsule(cx + s * 0.55 * math.cos(a), cy + s * 0.55 * math.sin(a),
                             cx + s * 0.92 * math.cos(a), cy + s * 0.92 * math.sin(a), s * 0.32))
    return cut(union(circle(cx, cy, s * 0.68), *teeth), circle(cx, cy, s * 0.28))


def anim2_1():
    x0, y0, w, h = ANIM2_1_AT

    def draw(img, n):
        # A turning gear beside four entries, mended one after the other.
        img.fill(gear(44, 36, 26, n * math.pi / 40), vgrad(10, 62, [(0.0, BLUE_LIGHT, 1.0), (1.0, BLUE_DARK, 1.0)]),
                 (16, 8, 72, 64))
        done = n // 4
        for i in range(4):
            y = 12 + i * 15
            if i < done:
                dot, bar = GREEN, (200, 232, 204)
            elif i == done:
                dot, bar = ORANGE, (252, 226, 190)
            else:
                dot, bar = RED, GREY_LIGHT
            img.fill(rrect(96, y, 200, y + 10, 3), solid(bar), (95, y - 1, 201, y + 11))
            img.fill(circle(86, y + 5, 5), solid(dot), (80, y - 1, 92, y + 11))
            if i < done:
                img.fill(polyline([(83.2, y + 5.2), (85.4, y + 7.4), (89, y + 2.8)], 1.6), solid(WHITE),
                         (80, y - 1, 92, y + 11))

    return lambda: strip(anim2_bg(), x0, y0, w, h, 20, draw)


def anim2_2():
    x0, y0, w, h = ANIM2_2_AT

    def draw(img, n):
        # A shield with a ring of light spreading from it.
        cx, cy = 64, 27
        t = n / 20.0
        img.fill(ring(cx, cy, 14 + t * 12, 2.4), solid(GREEN_LIGHT, 0.9 * (1.0 - t)), (cx - 30, 0, cx + 30, h))
        shield = polygon([(cx - 13, cy - 15), (cx + 13, cy - 15), (cx + 13, cy - 2), (cx, cy + 16), (cx - 13, cy - 2)])
        img.fill(shield, vgrad(cy - 15, cy + 16, [(0.0, GREEN_LIGHT, 1.0), (1.0, GREEN_DARK, 1.0)]),
                 (cx - 14, cy - 16, cx + 14, cy + 17))
        img.fill(polyline([(cx - 6, cy - 1), (cx - 1.5, cy + 4), (cx + 7, cy - 6)], 3.0), solid(WHITE),
                 (cx - 9, cy - 9, cx + 10, cy + 7))

    return lambda: strip(anim2_bg(), x0, y0, w, h, 20, draw)


ANIM3_1_AT = (22, 38, 63, 40)
ANIM3_2_AT = (254, 36, 68, 43)
ANIM3_3_AT = (122, 22, 98, 45)


def anim3_bg():
    return anim_background(344, 100)


def anim3_1():
    x0, y0, w, h = ANIM3_1_AT

    def draw(img, n):
        # A gauge whose needle swings up and back.
        cx, cy, r = 31.5, 34, 25
        img.fill(polyline(arc_points(cx, cy, r, math.pi, 2 * math.pi, 16), 5.0), solid(GREY_LIGHT), (3, 6, 61, 39))
        swing = 0.5 - 0.5 * math.cos(2 * math.pi * n / 20)
        a = math.pi + math.pi * (0.1 + 0.8 * swing)
        img.fill(polyline(arc_points(cx, cy, r, math.pi, a, 12), 5.0), solid(ORANGE), (3, 6, 61, 39))
        img.fill(capsule(cx, cy, cx + (r - 6) * math.cos(a), cy + (r - 6) * math.sin(a), 3.0), solid(NAVY), (6, 8, 58, 39))
        img.fill(circle(cx, cy, 4), solid(NAVY), (26, 29, 37, 39))

    return lambda: strip(anim3_bg(), x0, y0, w, h, 20, draw)


def anim3_2():
    x0, y0, w, h = ANIM3_2_AT

    def draw(img, n):
        # Scraps falling into a bin.
        img.fill(polygon([(18, 16), (50, 16), (46, 41), (22, 41)]), vgrad(16, 41, [(0.0, BLUE_LIGHT, 1.0), (1.0, BLUE, 1.0)]),
                 (17, 15, 51, 42))
        img.fill(rrect(14, 11, 54, 16, 2), solid(BLUE_DARK), (13, 10, 55, 17))
        for k in range(3):
            t = ((n + k * 7) % 20) / 20.0
            x = 34 + (k - 1) * 8 + math.sin((t + k) * 5) * 3
            y = -2 + t * 14
            img.fill(rrect(x - 3, y - 3, x + 3, y + 3, 1.2), solid(ORANGE, 1.0 - t * 0.6), (x - 4, max(0, y - 4), x + 4, min(11, y + 4)))

    return lambda: strip(anim3_bg(), x0, y0, w, h, 20, draw)


def anim3_3():
    x0, y0, w, h = ANIM3_3_AT

    def draw(img, n):
        # Three chevrons lit one after the other.
        for k in range(3):
            lit = (n - k * 3) % 10
            a = 1.0 if lit < 3 else 0.25
            cx = 22 + k * 27
            img.fill(polyline([(cx - 8, 8), (cx + 8, 22.5), (cx - 8, 37)], 7.0), solid(GREEN, a), (cx - 13, 3, cx + 14, 42))

    return lambda: strip(anim3_bg(), x0, y0, w, h, 10, draw)


# The animations' pictures: program resources of their own, not in the store.
ANIM_LIST = [
    ("ANIM1_BG", anim1_bg),
    ("ANIM1", anim1()),
    ("ANIM2_BG", anim2_bg),
    ("ANIM2_1", anim2_1()),
    ("ANIM2_2", anim2_2()),
    ("ANIM3_BG", anim3_bg),
    ("ANIM3_1", anim3_1()),
    ("ANIM3_2", anim3_2()),
    ("ANIM3_3", anim3_3()),
]


# Every picture of the store: (resource name, maker, style, margins).
FRAME = "frame"
NORMAL = "normal"

BLUE_SET = (BLUE, BLUE_LIGHT, BLUE_DARK)
GREEN_SET = (GREEN, GREEN_LIGHT, GREEN_DARK)
ORANGE_SET = (ORANGE, ORANGE_LIGHT, (186, 98, 12))
RED_SET = (RED, RED_LIGHT, RED_DARK)

FIRST_LIST = [
    ("LOGO_XP", logo(False), NORMAL, None),
    ("LOGO_AERO", logo(True), NORMAL, None),
    ("TAB", tab("active"), FRAME, (10, 10, 11, 10)),
    ("TAB_INACTIVE", tab("inactive"), FRAME, (10, 10, 11, 10)),
    ("TAB_INACTIVE_HOT", tab("hot"), FRAME, (10, 10, 11, 10)),
    ("STEPS_BG", steps_bg, FRAME, (16, 0, 17, 1)),
    ("STEP", step_bullet("normal"), NORMAL, None),
    ("STEP_CURRENT", step_bullet("current"), NORMAL, None),
    ("STEP_INACTIVE", step_bullet("inactive"), NORMAL, None),
    ("WELCOME_ICO", page_icon(motif_star), NORMAL, None),
    ("HEADER_LINE", header_line, NORMAL, None),
    ("BG_BOTTOM", bg_bottom, NORMAL, None),
    ("BG_TOP", bg_top, NORMAL, None),
    ("BUTTON1", button(BLUE_SET, "normal", 100, 34, 5), FRAME, (5, 16, 6, 16)),
    ("BUTTON1_HOT", button(BLUE_SET, "hot", 100, 34, 5), FRAME, (5, 16, 6, 16)),
    ("BUTTON1_DOWN", button(BLUE_SET, "down", 100, 34, 5), FRAME, (5, 16, 6, 16)),
    ("BUTTON1_INACTIVE", button(BLUE_SET, "inactive", 100, 34, 5), FRAME, (5, 16, 6, 16)),
    ("BUTTON1_LEFT", chevron("left"), NORMAL, None),
    ("BUTTON1_RIGHT", chevron("right"), NORMAL, None),
    ("BANNER_ACTIVATE", banner_activate, NORMAL, None),
    ("BANNER_SEPARATOR", separator(174, 6, (176, 196, 222)), NORMAL, None),
    ("BUTTON2", button(BLUE_SET, "normal", 80, 28, 4), FRAME, (5, 12, 6, 12)),
    ("BUTTON2_HOT", button(BLUE_SET, "hot", 80, 28, 4), FRAME, (5, 12, 6, 12)),
    ("BUTTON2_DOWN", button(BLUE_SET, "down", 80, 28, 4), FRAME, (5, 12, 6, 12)),
    ("BUTTON2_INACTIVE", button(BLUE_SET, "inactive", 80, 28, 4), FRAME, (5, 11, 6, 12)),
    ("BUTTON_SCAN", button(GREEN_SET, "normal", 220, 60, 14), FRAME, (30, 27, 31, 27)),
    ("BUTTON_SCAN_HOT", button(GREEN_SET, "hot", 220, 60, 14), FRAME, (30, 27, 31, 27)),
    ("BUTTON_SCAN_DOWN", button(GREEN_SET, "down", 220, 60, 14), FRAME, (30, 27, 31, 27)),
    ("SETTINGS_ICO", page_icon(motif_gear), NORMAL, None),
    ("RECT_BORDER", rect_border, FRAME, (6, 6, 7, 7)),
    ("PROGRESS_ICO", page_icon(motif_radar), NORMAL, None),
    ("PROGRESS_ICO1", progress_icon(1), NORMAL, None),
    ("PROGRESS_ICO2", progress_icon(2), NORMAL, None),
    ("PROGRESS_ICO3", progress_icon(3), NORMAL, None),
    ("PROGRESS_SEPARATOR", separator(300, 4, (176, 196, 222)), NORMAL, None),
    ("RESULTS_ICO", page_icon(motif_list), NORMAL, None),
    ("RESULTS_TABLE_ICO", results_icon(False), NORMAL, None),
    ("RESULTS_TABLE_ICO2", results_icon(True), NORMAL, None),
    ("RESULTS_TABLE", results_table, FRAME, (109, 79, 110, 80)),
    ("REPAIR_ICO", page_icon(motif_wrench), NORMAL, None),
    ("SPEEDUP_ICO", page_icon(motif_bolt, *ORANGE_SET), NORMAL, None),
    ("FINISH_ICO", page_icon(motif_flag, *GREEN_SET), NORMAL, None),
    ("REVIEW_ICO", page_icon(lambda img, c, s: motif_magnifier(img, c, c, s)), NORMAL, None),
    ("RESCUE_ICO", page_icon(lambda img, c, s: motif_lifebuoy(img, c, s * 1.15)), NORMAL, None),
    ("ACTIVATE_ICO", page_icon(motif_key, *ORANGE_SET), NORMAL, None),
    ("HELP_ICO", page_icon(motif_question), NORMAL, None),
    ("ABOUT_ICO", page_icon(motif_info), NORMAL, None),
    ("SUPPORT_ACTIVE", support_tab("active"), FRAME, (6, 15, 7, 15)),
    ("SUPPORT_HOT", support_tab("hot"), FRAME, (6, 15, 7, 15)),
    ("SUPPORT_RESCUE", support_icon(lambda img, c, s: motif_lifebuoy(img, c, s * 1.2), *BLUE_SET), NORMAL, None),
    ("SUPPORT_ACTIVATE", support_icon(motif_key, *ORANGE_SET), NORMAL, None),
    ("SUPPORT_SETTINGS", support_icon(motif_gear, *BLUE_SET), NORMAL, None),
    ("SUPPORT_HELP", support_icon(motif_question, *BLUE_SET), NORMAL, None),
    ("SUPPORT_ABOUT", support_icon(motif_info, *BLUE_SET), NORMAL, None),
    ("UPDATE", update_icon, NORMAL, None),
    ("ACTIVATE_ICO1", small_icon(motif_key, *ORANGE_SET), NORMAL, None),
    ("ACTIVATE_ICO2", small_icon(motif_shield, *BLUE_SET), NORMAL, None),
    ("ACTIVATE_ICO3", small_icon(motif_check, *GREEN_SET), NORMAL, None),
    ("CLOSE", title_button("close", "normal"), NORMAL, None),
    ("CLOSE_HOT", title_button("close", "hot"), NORMAL, None),
    ("CLOSE_DOWN", title_button("close", "down"), NORMAL, None),
    ("BORDER_BG", border_bg, NORMAL, None),
    ("MINIMIZE", title_button("minimize", "normal"), NORMAL, None),
    ("MINIMIZE_HOT", title_button("minimize", "hot"), NORMAL, None),
    ("MINIMIZE_DOWN", title_button("minimize", "down"), NORMAL, None),
    ("REPAIR_DONE", repair_done, NORMAL, None),
    ("ACTIVATE_ICO4", small_icon(motif_star, *ORANGE_SET), NORMAL, None),
    ("FINISHFREE_ICO", page_icon(motif_check, *GREEN_SET), NORMAL, None),
    ("RED_BORDER", red_border, FRAME, (6, 12, 7, 12)),
    ("LOGO_XP_TEXT", logo_text(False), NORMAL, None),
    ("LOGO_AERO_TEXT", logo_text(True), NORMAL, None),
    ("BUTTON_CONTINUE", button(ORANGE_SET, "normal", 140, 40, 6), FRAME, (5, 18, 6, 18)),
    ("BUTTON_CONTINUE_HOT", button(ORANGE_SET, "hot", 140, 40, 6), FRAME, (5, 18, 6, 18)),
    ("BUTTON_CONTINUE_DOWN", button(ORANGE_SET, "down", 140, 40, 6), FRAME, (5, 18, 6, 18)),
    ("SHADOW", shadow_bg, NORMAL, None),
    ("PHONE_XP", phone(False), NORMAL, None),
    ("PHONE_AERO", phone(True), NORMAL, None),
]

# The warning window's list; its resources carry the prefix "WARNING_".
SECOND_LIST = [
    ("BG", warning_bg, FRAME, (3, 139, 4, 140)),
    ("LOGO", warning_logo, NORMAL, None),
    ("TABLE", table, FRAME, (65, 28, 66, 28)),
    ("CLOSE", title_button("close", "normal", True), NORMAL, None),
    ("CLOSE_HOT", title_button("close", "hot", True), NORMAL, None),
    ("CLOSE_DOWN", title_button("close", "down", True), NORMAL, None),
    ("LOGO_AERO", logo(True), NORMAL, None),
    ("DOT", dot, NORMAL, None),
    ("LINE", warning_line, NORMAL, None),
    ("CERTIFICATE", certificate(""), NORMAL, None),
    ("CERTIFICATE_JA", certificate("JA"), NORMAL, None),
    ("CERTIFICATE_PT", certificate("PT"), NORMAL, None),
    ("CERTIFICATE_FR", certificate("FR"), NORMAL, None),
    ("CERTIFICATE_ES", certificate("ES"), NORMAL, None),
]


# Pictures that are resources of the program but not of the image store.
RESOURCE_ONLY = [
    ("BANNER_LEFT", banner_left),
    ("BANNER_BOTTOM", banner_bottom),
]


def pictures():
    """(resource name, maker) of every picture: the store's in store order, then the others."""
    for name, make, _, _ in FIRST_LIST:
        yield name, make
    for name, make, _, _ in SECOND_LIST:
        yield "WARNING_" + name, make
    for name, make in ANIM_LIST:
        yield name, make
    for name, make in RESOURCE_ONLY:
        yield name, make


# ---------------------------------------------------------------------------
# PNG files


def _chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def _filtered(rows, bpp=4):
    """Each row with the filter that gives the smallest sum of magnitudes."""
    out = bytearray()
    prev = bytes(len(rows[0]))
    for row in rows:
        n = len(row)
        cands = []
        sub = bytes((row[i] - (row[i - bpp] if i >= bpp else 0)) & 255 for i in range(n))
        up = bytes((row[i] - prev[i]) & 255 for i in range(n))
        avg = bytes((row[i] - (((row[i - bpp] if i >= bpp else 0) + prev[i]) >> 1)) & 255 for i in range(n))
        pae = bytes((row[i] - _paeth(row[i - bpp] if i >= bpp else 0, prev[i], prev[i - bpp] if i >= bpp else 0)) & 255
                    for i in range(n))
        for kind, data in ((0, row), (1, sub), (2, up), (3, avg), (4, pae)):
            cands.append((sum(v if v < 128 else 256 - v for v in data), kind, data))
        _, kind, data = min(cands, key=lambda c: (c[0], c[1]))
        out.append(kind)
        out += data
        prev = row
    return bytes(out)


def encode_png(img):
    rows = img.rows()
    ihdr = struct.pack(">IIBBBBB", img.w, img.h, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", ihdr) +
            _chunk(b"IDAT", zlib.compress(_filtered(rows), 9)) + _chunk(b"IEND", b""))


def picture_content(png):
    """IHDR and the inflated image data: what a picture is, whatever zlib
    build compressed it."""
    at, header, data = 8, b"", b""
    while at + 8 <= len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        body = png[at + 8:at + 8 + length]
        if kind == b"IHDR":
            header = body
        elif kind == b"IDAT":
            data += body
        at += 12 + length
    try:
        return header, zlib.decompress(data)
    except zlib.error:
        return header, None


def resource_script():
    # The paths are relative to the project root, which every target has on
    # its include path: a program's own resource script includes this one, so
    # that all of its named resources come from one script (the linker sorts
    # names of several scripts by another rule than the loader's search).
    lines = ["// Made by skin_gen.py: the pictures of the image store and the wizard's animations.",
             "#pragma code_page(65001)", ""]
    for name, _ in pictures():
        lines.append('%s RCDATA "resources/skin/%s.png"' % (name, name))
    return ("\n".join(lines) + "\n").encode("ascii")


def main(argv):
    check = "--check" in argv
    if not check:
        os.makedirs(SKIN_DIR, exist_ok=True)
    differ = []
    expected_files = set()
    for name, make in pictures():
        data = encode_png(make())
        path = os.path.join(SKIN_DIR, name + ".png")
        expected_files.add(name + ".png")
        if check:
            try:
                with open(path, "rb") as f:
                    committed = f.read()
            except OSError:
                differ.append(name + ".png (missing)")
                continue
            if committed != data and picture_content(committed) != picture_content(data):
                differ.append(name + ".png")
        else:
            with open(path, "wb") as f:
                f.write(data)
    script = resource_script()
    if check:
        try:
            with open(RC_FILE, "rb") as f:
                if f.read() != script:
                    differ.append("skin.rc")
        except OSError:
            differ.append("skin.rc (missing)")
        extra = sorted(set(os.listdir(SKIN_DIR)) - expected_files) if os.path.isdir(SKIN_DIR) else []
        differ += [e + " (not made by the generator)" for e in extra]
        if differ:
            print("skin_gen: the committed pictures differ from what the generator makes:")
            for d in differ:
                print("  " + d)
            return 1
        print("skin_gen: %d pictures and skin.rc match the generator" % len(expected_files))
        return 0
    with open(RC_FILE, "wb") as f:
        f.write(script)
    print("skin_gen: wrote %d pictures and skin.rc" % len(expected_files))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

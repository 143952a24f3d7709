#!/usr/bin/env python3
"""Draws the program's logo (800 x 240, RGBA PNG) and writes it as Base64
into src/ui/logo_data.cpp. Run once when the artwork changes:

    python3 tools/make_logo.py [--png out.png] [--icons data/icons]

--icons also draws the emblem alone, square, as the application icon of the
hicolor theme at the usual sizes (<dir>/hicolor/<n>x<n>/apps/twinfold.png).

Pure standard library: shapes are drawn from signed distances, which gives
anti-aliased edges without a graphics package.
"""
import argparse
import base64
import math
import os
import struct
import zlib

W, H = 800, 240
ORANGE = (245, 140, 35)
DARK = (40, 40, 40)
WHITE = (255, 255, 255)


class Canvas:
    def __init__(self, w, h):
        self.w, self.h = w, h
        # straight (not premultiplied) colour and alpha, 0..1
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(w * h)]

    def blend(self, x, y, colour, cover):
        if cover <= 0.0:
            return
        p = self.px[y * self.w + x]
        a_src = min(cover, 1.0)
        a_out = a_src + p[3] * (1.0 - a_src)
        for i in range(3):
            c = colour[i] / 255.0
            p[i] = (c * a_src + p[i] * p[3] * (1.0 - a_src)) / a_out if a_out > 0 else 0.0
        p[3] = a_out

    def fill(self, sdf, bbox, colour):
        """Fills where sdf(x, y) < 0, with a one-pixel soft edge."""
        x0, y0, x1, y1 = bbox
        for y in range(max(0, int(y0) - 1), min(self.h, int(y1) + 2)):
            for x in range(max(0, int(x0) - 1), min(self.w, int(x1) + 2)):
                d = sdf(x + 0.5, y + 0.5)
                self.blend(x, y, colour, 0.5 - d)

    def png(self):
        raw = bytearray()
        for y in range(self.h):
            raw.append(0)
            for x in range(self.w):
                r, g, b, a = self.px[y * self.w + x]
                raw += bytes((round(r * 255), round(g * 255), round(b * 255), round(a * 255)))

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

        ihdr = struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
                + chunk(b"IEND", b""))


def rounded_box(cx, cy, hw, hh, r):
    def sdf(x, y):
        qx = abs(x - cx) - hw + r
        qy = abs(y - cy) - hh + r
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r
    return sdf, (cx - hw, cy - hh, cx + hw, cy + hh)


def ring(sdf, width):
    return lambda x, y: abs(sdf(x, y) + width / 2) - width / 2


def stroke(points, radius):
    """A polyline drawn with round caps and joins."""
    segs = list(zip(points, points[1:]))

    def sdf(x, y):
        best = 1e9
        for (ax, ay), (bx, by) in segs:
            dx, dy = bx - ax, by - ay
            ll = dx * dx + dy * dy
            t = 0.0 if ll == 0 else max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / ll))
            best = min(best, math.hypot(x - ax - t * dx, y - ay - t * dy))
        return best - radius
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return sdf, (min(xs) - radius, min(ys) - radius, max(xs) + radius, max(ys) + radius)


def arc(cx, cy, rx, ry, a0, a1, steps=24):
    return [(cx + rx * math.cos(a0 + (a1 - a0) * i / steps), cy + ry * math.sin(a0 + (a1 - a0) * i / steps))
            for i in range(steps + 1)]


def letters(x, top, h, w):
    """The word TWINFOLD as polylines, left edge at x; returns the strokes and the end x."""
    b = top + h
    mid = top + h * 0.5
    gap = 18
    out = []

    def adv(width):
        nonlocal x
        x += width + gap

    out += [[(x, top), (x + w, top)], [(x + w / 2, top), (x + w / 2, b)]]; adv(w)               # T
    ww = w * 1.45
    out += [[(x, top), (x + ww * 0.25, b), (x + ww * 0.5, top + h * 0.3), (x + ww * 0.75, b), (x + ww, top)]]; adv(ww)  # W
    out += [[(x, top), (x, b)]]; adv(0)                                                          # I
    out += [[(x, b), (x, top), (x + w, b), (x + w, top)]]; adv(w)                               # N
    out += [[(x + w * 0.9, top), (x, top), (x, b)], [(x, mid), (x + w * 0.75, mid)]]; adv(w * 0.9)  # F
    out += [arc(x + w / 2, mid, w / 2, h / 2, 0, 2 * math.pi, 48)]; adv(w)                      # O
    out += [[(x, top), (x, b), (x + w * 0.85, b)]]; adv(w * 0.85)                               # L
    # D: the stem, then the bowl from the bottom round to the top.
    out += [[(x + w * 0.45, top), (x, top), (x, b), (x + w * 0.45, b)]
            + arc(x + w * 0.45, mid, w * 0.55, h / 2, math.pi / 2, -math.pi / 2, 32)]; adv(w)
    return out, x - gap


ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256, 512)


def emblem(c, cx, cy, k):
    """The orange tile with two pages, one drawn and one filled: a folder and
    its mirror, folded along the middle. Centred on cx, cy; k = 1 is 200
    pixels wide."""
    def at(x, y):
        return cx + (x - 120) * k, cy + (y - 120) * k

    tile, tb = rounded_box(*at(120, 120), 100 * k, 100 * k, 36 * k)
    c.fill(tile, tb, ORANGE)
    left, lb = rounded_box(*at(88, 120), 28 * k, 50 * k, 8 * k)
    c.fill(ring(left, max(10 * k, 1.0)), lb, WHITE)
    right, rb = rounded_box(*at(152, 120), 28 * k, 50 * k, 8 * k)
    c.fill(right, rb, WHITE)
    fold, fb = stroke([at(120, 48), at(120, 192)], max(3 * k, 0.5))
    c.fill(fold, fb, WHITE)
    corner, cb = stroke([at(162, 70), at(180, 88)], max(4 * k, 0.6))
    c.fill(corner, cb, ORANGE)


def write_icons(folder):
    for n in ICON_SIZES:
        c = Canvas(n, n)
        # A sixteenth of the size as margin, as the theme's icons keep.
        emblem(c, n / 2, n / 2, n * 15 / 16 / 200)
        out = os.path.join(folder, "hicolor", "%dx%d" % (n, n), "apps")
        os.makedirs(out, exist_ok=True)
        with open(os.path.join(out, "twinfold.png"), "wb") as f:
            f.write(c.png())


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default_out = os.path.join(here, "..", "src", "ui", "logo_data.cpp")
    ap = argparse.ArgumentParser()
    ap.add_argument("--png", help="also write the PNG here")
    ap.add_argument("--out", default=default_out, help="the C++ file to write")
    ap.add_argument("--icons", help="also write the application icons under this folder")
    args = ap.parse_args()
    if args.icons:
        write_icons(args.icons)

    c = Canvas(W, H)
    emblem(c, 120, 120, 1.0)

    # Wordmark.
    strokes, end = letters(266, 62, 116, 52)
    for pts in strokes:
        sdf, bb = stroke(pts, 9)
        c.fill(sdf, bb, DARK)
    # An orange rule under the word ties it to the tile.
    rule, rb2 = stroke([(266, 206), (end, 206)], 4)
    c.fill(rule, rb2, ORANGE)

    png = c.png()
    if args.png:
        with open(args.png, "wb") as f:
            f.write(png)
    b64 = base64.b64encode(png).decode("ascii")
    lines = [b64[i:i + 100] for i in range(0, len(b64), 100)]
    body = "\n".join('    "%s"' % line for line in lines)
    with open(args.out, "w") as f:
        f.write("// Generated by tools/make_logo.py; do not edit.\n"
                "#include \"ui/logo.h\"\n\n"
                "namespace twf::ui {\n\n"
                "// 800 x 240 RGBA PNG, standard Base64.\n"
                "const char* const kLogoPngBase64 =\n%s;\n\n"
                "} // namespace twf::ui\n" % body)
    print("logo: %d bytes PNG, %d Base64 characters" % (len(png), len(b64)))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Draws the five demo pictures of the lot-heading and inline-heading labels.

Each layout's graphic command announces a fixed byte count ("GP02713," ...), so each
file must be exactly that long. The pictures are 1-bit, one-plane, RLE PCX version 5
(0 = black ink, 1 = white, as in Paintbrush monochrome files). The exact length is
reached without padding bytes: run-length coding lets a byte be written literally or
as a one-byte run, and a run be split in two, so the encoder spends exactly the bytes
the file needs while every file still decodes to the same picture.

Rerun from anywhere: python3 scripts/make_demo_images.py
"""

import math
import struct
from pathlib import Path

OUT = Path(__file__).resolve().parent.parent / "demo" / "images"
HEADER_SIZE = 128

FONT = {
    "0": ["01110", "10001", "10011", "10101", "11001", "10001", "01110"],
    "3": ["11110", "00001", "00001", "01110", "00001", "00001", "11110"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "W": ["10001", "10001", "10001", "10101", "10101", "10101", "01010"],
}


class Canvas:
    def __init__(self, width, height):
        self.width, self.height = width, height
        self.ink = [[False] * width for _ in range(height)]

    def plot_where(self, inside, box):
        x0, y0, x1, y1 = (int(math.floor(box[0])), int(math.floor(box[1])),
                          int(math.ceil(box[2])), int(math.ceil(box[3])))
        for y in range(max(0, y0), min(self.height, y1 + 1)):
            for x in range(max(0, x0), min(self.width, x1 + 1)):
                if inside(x + 0.5, y + 0.5):
                    self.ink[y][x] = True

    def line(self, x0, y0, x1, y1, half_width):
        dx, dy = x1 - x0, y1 - y0
        length2 = dx * dx + dy * dy or 1.0

        def inside(x, y):
            t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
            px, py = x0 + t * dx, y0 + t * dy
            return (x - px) ** 2 + (y - py) ** 2 <= half_width ** 2

        pad = half_width + 1
        self.plot_where(inside, (min(x0, x1) - pad, min(y0, y1) - pad, max(x0, x1) + pad, max(y0, y1) + pad))

    def polyline(self, points, half_width, closed=False):
        pairs = list(zip(points, points[1:] + (points[:1] if closed else [])))
        for (xa, ya), (xb, yb) in pairs:
            self.line(xa, ya, xb, yb, half_width)

    def ring(self, cx, cy, outer, inner):
        self.plot_where(lambda x, y: inner ** 2 <= (x - cx) ** 2 + (y - cy) ** 2 <= outer ** 2,
                        (cx - outer, cy - outer, cx + outer, cy + outer))

    def disk(self, cx, cy, r):
        self.ring(cx, cy, r, 0)

    def rect(self, x0, y0, x1, y1):
        self.plot_where(lambda x, y: x0 <= x <= x1 and y0 <= y <= y1, (x0, y0, x1, y1))

    def text(self, x, y, text, scale, gap=1):
        for char in text:
            for row, bits in enumerate(FONT[char]):
                for col, bit in enumerate(bits):
                    if bit == "1":
                        self.rect(x + col * scale, y + row * scale, x + (col + 1) * scale, y + (row + 1) * scale)
            x += (5 + gap) * scale

    def rows(self):
        """Packed scan lines, 8 pixels a byte, padded to an even length with white."""
        bytes_per_line = (self.width + 15) // 16 * 2
        lines = []
        for row in self.ink:
            bits = [0 if ink else 1 for ink in row] + [1] * (bytes_per_line * 8 - self.width)
            lines.append(bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8)))
        return bytes_per_line, lines


def wash_tub():
    """Washing care symbol: tub with water line, 30 degrees."""
    c = Canvas(192, 112)
    c.polyline([(20, 24), (38, 102), (154, 102), (172, 24)], 3.5)
    wave = [(30 + i * 4, 40 + 5 * math.sin(i * 4 / 22 * math.pi)) for i in range(34)]
    c.polyline(wave, 2.5)
    c.text(66, 56, "30", 5)
    c.ring(132, 60, 5, 2.5)  # degree sign
    return c


def monogram():
    """The plant's small round logo with its TW monogram."""
    c = Canvas(200, 160)
    c.ring(100, 80, 76, 68)
    c.ring(100, 80, 62, 60)
    c.text(54, 52, "TW", 8, gap=1)
    c.rect(58, 116, 142, 119)
    return c


def lot_lettering():
    """LOT in a rounded frame, for lot-headed labels."""
    c = Canvas(224, 112)
    r = 14
    c.polyline([(6 + r, 6), (218 - r, 6)], 3)
    c.polyline([(6 + r, 106), (218 - r, 106)], 3)
    c.polyline([(6, 6 + r), (6, 106 - r)], 3)
    c.polyline([(218, 6 + r), (218, 106 - r)], 3)
    for cx, cy, start in ((6 + r, 6 + r, 180), (218 - r, 6 + r, 270), (218 - r, 106 - r, 0), (6 + r, 106 - r, 90)):
        arc = [(cx + r * math.cos(math.radians(start + a)), cy + r * math.sin(math.radians(start + a)))
               for a in range(0, 91, 10)]
        c.polyline(arc, 3)
    c.text(27, 21, "LOT", 10, gap=1)
    return c


def iron_two_dots():
    """Ironing care symbol, medium heat."""
    c = Canvas(192, 120)
    c.polyline([(24, 100), (168, 100), (168, 56), (72, 56), (50, 66), (34, 82), (24, 100)], 3.5)
    c.polyline([(100, 56), (106, 28), (172, 28), (168, 56)], 3.5)
    c.disk(106, 80, 7)
    c.disk(136, 80, 7)
    return c


def do_not_bleach():
    """Do-not-bleach care symbol: crossed triangle."""
    c = Canvas(112, 80)
    c.polyline([(56, 5), (7, 74), (105, 74)], 2.5, closed=True)
    c.line(20, 10, 92, 77, 2.5)
    c.line(92, 10, 20, 77, 2.5)
    return c


def runs_of(line):
    runs = []
    for byte in line:
        if runs and runs[-1][0] == byte:
            runs[-1][1] += 1
        else:
            runs.append([byte, 1])
    return runs


def min_cost(value, count):
    if count == 1 and value < 0xC0:
        return 1
    return 2 * math.ceil(count / 63)


def encode_run(value, count, cost):
    """The run in exactly `cost` bytes; literals only below 0xC0, runs of at most 63."""
    if value >= 0xC0:
        assert cost % 2 == 0
        chunks, literals = cost // 2, 0
    else:
        chunks = (cost + 1) // 2
        literals = 2 * chunks - cost
    run_chunks = chunks - literals
    rest = count - literals
    assert literals <= 1 and chunks <= count and (run_chunks > 0 or rest == 0)
    out = bytearray([value] * literals)
    for i in range(run_chunks):
        size = rest // run_chunks + (1 if i < rest % run_chunks else 0)
        assert 1 <= size <= 63
        out += bytes([0xC0 | size, value])
    return out


def encode(lines, length):
    """RLE data of exactly `length` bytes; runs never cross a scan line."""
    runs = [run for line in lines for run in runs_of(line)]
    costs = [min_cost(v, n) for v, n in runs]
    extra = length - sum(costs)
    assert extra >= 0, f"picture too busy: {sum(costs)} bytes at least, {length} wanted"
    # Runs of white take only whole extra chunks; dark and grey bytes take any amount.
    for flexible in (False, True):
        for i, (v, n) in enumerate(runs):
            if extra == 0 or (v < 0xC0) != flexible:
                continue
            room = 2 * n - costs[i]
            add = min(extra, room) if flexible else min(extra - extra % 2, room)
            costs[i] += add
            extra -= add
    assert extra == 0, f"picture too small for {length} bytes"
    data = b"".join(encode_run(v, n, cost) for (v, n), cost in zip(runs, costs))
    assert len(data) == length
    return data


def decode(data, bytes_per_line, height):
    out = bytearray()
    i = 0
    while len(out) < bytes_per_line * height:
        if data[i] >= 0xC0:
            out += bytes([data[i + 1]]) * (data[i] & 0x3F)
            i += 2
        else:
            out.append(data[i])
            i += 1
    assert i == len(data) and len(out) == bytes_per_line * height
    return bytes(out)


def header(width, height, bytes_per_line):
    palette = bytes([0, 0, 0, 255, 255, 255]) + bytes(42)
    return struct.pack("<BBBBHHHHHH48sBBHHHH54s", 0x0A, 5, 1, 1, 0, 0, width - 1, height - 1, 203, 203,
                       palette, 0, 1, bytes_per_line, 1, 0, 0, bytes(54))


def write_pcx(name, canvas, size):
    bytes_per_line, lines = canvas.rows()
    head = header(canvas.width, canvas.height, bytes_per_line)
    assert len(head) == HEADER_SIZE
    data = encode(lines, size - HEADER_SIZE)
    assert decode(data, bytes_per_line, canvas.height) == b"".join(lines)
    (OUT / name).write_bytes(head + data)
    print(f"{OUT / name}: {canvas.width}x{canvas.height}, {size} bytes")


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    write_pcx("calh021.pcx", wash_tub(), 2713)
    write_pcx("calh026.pcx", monogram(), 3280)
    write_pcx("calh023.pcx", lot_lettering(), 3201)
    write_pcx("calh024.pcx", iron_two_dots(), 2852)
    write_pcx("calh018.pcx", do_not_bleach(), 1450)


if __name__ == "__main__":
    main()

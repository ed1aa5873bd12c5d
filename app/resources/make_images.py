#!/usr/bin/env python3
"""Draws the toolbar strip and the program icon as 16-colour XPM images.

Run from this folder: python3 make_images.py. It rewrites toolbar.xpm
(six 21 x 18 button images in one 126 x 18 strip), icon32.xpm and
icon16.xpm. Only the standard library is used.
"""

import math

# The 16 colours of the classic display palette, with one letter each.
PALETTE = {
    "k": "#000000", "r": "#800000", "g": "#008000", "y": "#808000",
    "b": "#000080", "m": "#800080", "c": "#008080", "s": "#C0C0C0",
    "d": "#808080", "R": "#FF0000", "G": "#00FF00", "Y": "#FFFF00",
    "B": "#0000FF", "M": "#FF00FF", "C": "#00FFFF", "w": "#FFFFFF",
}
TRANSPARENT = "."


class Canvas:
    def __init__(self, width, height):
        self.width, self.height = width, height
        self.px = [[TRANSPARENT] * width for _ in range(height)]

    def set(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.px[y][x] = colour

    def fill(self, x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.set(x, y, colour)

    def frame(self, x0, y0, x1, y1, colour):
        self.line(x0, y0, x1, y0, colour)
        self.line(x0, y1, x1, y1, colour)
        self.line(x0, y0, x0, y1, colour)
        self.line(x1, y0, x1, y1, colour)

    def line(self, x0, y0, x1, y1, colour):
        dx, dy = abs(x1 - x0), -abs(y1 - y0)
        sx, sy = (1 if x0 < x1 else -1), (1 if y0 < y1 else -1)
        err = dx + dy
        while True:
            self.set(x0, y0, colour)
            if x0 == x1 and y0 == y1:
                return
            e2 = 2 * err
            if e2 >= dy:
                err += dy
                x0 += sx
            if e2 <= dx:
                err += dx
                y0 += sy

    def arc(self, cx, cy, r, start_deg, end_deg, colour):
        steps = max(16, int(r * 8))
        for i in range(steps + 1):
            a = math.radians(start_deg + (end_deg - start_deg) * i / steps)
            self.set(round(cx + r * math.cos(a)), round(cy - r * math.sin(a)),
                     colour)

    def blit(self, other, ox, oy):
        for y in range(other.height):
            for x in range(other.width):
                if other.px[y][x] != TRANSPARENT:
                    self.set(ox + x, oy + y, other.px[y][x])


def card(c, x0, y0, x1, y1):
    """A card with its magnetic stripe."""
    c.fill(x0, y0, x1, y1, "w")
    c.frame(x0, y0, x1, y1, "b")
    c.fill(x0 + 1, y0 + 2, x1 - 1, y0 + 3, "k")


def button_port():
    c = Canvas(21, 18)
    # A serial connector: trapezoid shell with pins, and its cable.
    c.fill(4, 5, 16, 11, "s")
    c.frame(4, 5, 16, 11, "k")
    c.set(4, 11, TRANSPARENT)
    c.set(16, 11, TRANSPARENT)
    c.line(5, 12, 15, 12, "k")
    for x in range(6, 15, 2):
        c.set(x, 7, "b")
    for x in range(7, 14, 2):
        c.set(x, 9, "b")
    c.fill(9, 13, 11, 15, "d")
    c.line(10, 16, 10, 17, "k")
    c.fill(1, 2, 3, 3, "G")  # open: green lamp
    c.fill(17, 2, 19, 3, "R")  # closed: red lamp
    return c


def button_reset():
    c = Canvas(21, 18)
    # A circular arrow, open at the top right, its head pointing up.
    c.arc(10, 9, 6, 90, 360, "b")
    c.arc(10, 9, 5, 90, 360, "B")
    for row in range(4):
        c.line(16 - row, 4 + row, 16 + row, 4 + row, "b")
    c.fill(9, 8, 11, 10, "R")
    return c


def button_read():
    c = Canvas(21, 18)
    card(c, 1, 1, 13, 10)
    # Arrow out of the card: the data read.
    c.fill(9, 12, 15, 13, "g")
    for i in range(4):
        c.line(16 + i, 10 + i, 16 + i, 15 - i, "g")
    c.fill(9, 14, 10, 16, "g")
    return c


def button_write():
    c = Canvas(21, 18)
    card(c, 1, 5, 13, 15)
    # A pencil writing on the stripe.
    for i in range(8):
        c.set(12 + i, 9 - i, "Y")
        c.set(13 + i, 9 - i, "y")
        c.set(12 + i, 8 - i, "y")
    c.set(11, 10, "k")
    c.set(19, 1, "R")
    c.set(20, 1, "R")
    return c


def button_erase():
    c = Canvas(21, 18)
    card(c, 1, 2, 15, 13)
    # A red cross over the card.
    for i in range(7):
        c.set(10 + i, 8 + i, "R")
        c.set(11 + i, 8 + i, "R")
        c.set(16 - i, 8 + i, "R")
        c.set(17 - i, 8 + i, "R")
    return c


def button_save():
    c = Canvas(21, 18)
    # A floppy disk.
    c.fill(3, 1, 17, 16, "b")
    c.fill(6, 1, 14, 6, "s")
    c.fill(11, 2, 12, 5, "b")
    c.fill(5, 9, 15, 16, "w")
    for y in (11, 13):
        c.line(6, y, 14, y, "d")
    c.set(3, 1, TRANSPARENT)
    return c


def icon32():
    c = Canvas(32, 32)
    c.fill(1, 6, 30, 25, "b")
    c.frame(1, 6, 30, 25, "k")
    c.fill(2, 9, 29, 12, "k")  # the stripe
    # A "V" on the card.
    c.line(8, 15, 13, 23, "Y")
    c.line(9, 15, 14, 23, "Y")
    c.line(13, 23, 18, 15, "Y")
    c.line(14, 23, 19, 15, "Y")
    c.fill(21, 18, 27, 22, "s")  # a chip-like pad
    return c


def icon16():
    c = Canvas(16, 16)
    c.fill(0, 3, 15, 12, "b")
    c.frame(0, 3, 15, 12, "k")
    c.line(1, 5, 14, 5, "k")  # the stripe
    c.line(1, 6, 14, 6, "k")
    c.line(3, 8, 5, 11, "Y")
    c.line(5, 11, 7, 8, "Y")
    c.fill(10, 8, 13, 10, "s")
    return c


def write_xpm(path, name, canvas):
    used = sorted({ch for row in canvas.px for ch in row})
    lines = ["/* XPM */", f"static const char *{name}[] = {{",
             f'"{canvas.width} {canvas.height} {len(used)} 1",']
    for ch in used:
        colour = "None" if ch == TRANSPARENT else PALETTE[ch]
        lines.append(f'"{ch} c {colour}",')
    rows = ['"' + "".join(row) + '"' for row in canvas.px]
    lines.append(",\n".join(rows))
    lines.append("};")
    with open(path, "w", encoding="ascii") as out:
        out.write("\n".join(lines) + "\n")


def main():
    strip = Canvas(126, 18)
    buttons = [button_port, button_reset, button_read, button_write,
               button_erase, button_save]
    for i, draw in enumerate(buttons):
        strip.blit(draw(), i * 21, 0)
    write_xpm("toolbar.xpm", "toolbar", strip)
    write_xpm("icon32.xpm", "icon32", icon32())
    write_xpm("icon16.xpm", "icon16", icon16())


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the four 16 x 16 images of the HTTP folder listings into the folder given.

Each GIF is padded to its fixed size with a comment block; the icon file holds one
32-bit image with its AND mask. Run once; the results are kept beside this script.
"""
import struct
import sys

# Pixel maps: '.' transparent, other letters index the palette.
FOLDER = [
    "................",
    "................",
    "..YYYY..........",
    ".YyyyyY.........",
    ".YYYYYYYYYYYYY..",
    ".YyyyyyyyyyyyYk.",
    ".YyyyyyyyyyyyYk.",
    ".YyyyyyyyyyyyYk.",
    ".YyyyyyyyyyyyYk.",
    ".YyyyyyyyyyyyYk.",
    ".YyyyyyyyyyyyYk.",
    ".YyyyyyyyyyyyYk.",
    ".YyyyyyyyyyyyYk.",
    ".YYYYYYYYYYYYYk.",
    "..kkkkkkkkkkkkk.",
    "................",
]
# The up-one-level icon: the folder with an arrow pointing up.
UP_FOLDER = FOLDER[:6] + [
    ".YyyyyyGyyyyyYk.",
    ".YyyyyGGGyyyyYk.",
    ".YyyyGGGGGyyyYk.",
    ".YyyyyyGyyyyyYk.",
    ".YyyyyyGyyyyyYk.",
    ".YyyyyyGGGGyyYk.",
] + FOLDER[12:]
FILE = [
    "................",
    "...kkkkkkk......",
    "...kwwwwwkk.....",
    "...kwwwwwkwk....",
    "...kwwwwwkkkk...",
    "...kwwwwwwwwk...",
    "...kwwwwwwwwk...",
    "...kwwwwwwwwk...",
    "...kwwwwwwwwk...",
    "...kwwwwwwwwk...",
    "...kwwwwwwwwk...",
    "...kwwwwwwwwk...",
    "...kwwwwwwwwk...",
    "...kwwwwwwwwk...",
    "...kkkkkkkkkk...",
    "................",
]
COLOURS = {
    ".": (255, 255, 255), "Y": (191, 143, 0), "y": (255, 214, 92), "k": (64, 64, 64),
    "G": (0, 128, 0), "w": (255, 255, 255),
}


def lzw(indices, min_size):
    clear, end = 1 << min_size, (1 << min_size) + 1
    size, next_code = min_size + 1, end + 1
    table = {(i,): i for i in range(clear)}
    bits, nbits, out = 0, 0, bytearray()

    def put(code):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8

    put(clear)
    w = ()
    for k in indices:
        wk = w + (k,)
        if wk in table:
            w = wk
            continue
        put(table[w])
        if next_code < 4096:
            table[wk] = next_code
            next_code += 1
            if next_code > (1 << size) and size < 12:
                size += 1
        w = (k,)
    put(table[w])
    put(end)
    if nbits:
        out.append(bits & 0xFF)
    return bytes(out)


def gif(rows, total):
    keys = ["."] + sorted({c for r in rows for c in r} - {"."})
    depth = 1
    while (1 << depth) < len(keys):
        depth += 1
    palette = b"".join(bytes(COLOURS[k]) for k in keys) + b"\0\0\0" * ((1 << depth) - len(keys))
    pixels = [keys.index(c) for r in rows for c in r]
    min_size = max(2, depth)
    data = lzw(pixels, min_size)
    blocks = b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255] for i in range(0, len(data), 255)) + b"\0"
    head = b"GIF89a" + struct.pack("<HHBBB", 16, 16, 0x80 | ((depth - 1) << 4) | (depth - 1), 0, 0) + palette
    gce = b"\x21\xF9\x04\x01\x00\x00\x00\x00"  # transparent colour: index 0
    image = b"\x2C" + struct.pack("<HHHHB", 0, 0, 16, 16, 0) + bytes([min_size]) + blocks
    body = head + gce + image
    pad = total - len(body) - 1
    if pad != 0:
        assert pad >= 4, (total, len(body))
        text = b"".join(bytes([min(255, n)]) + b"\x20" * min(255, n) for n in _chunks(pad - 3))
        body += b"\x21\xFE" + text + b"\0"
    body += b"\x3B"
    assert len(body) == total, (len(body), total)
    return body


def _chunks(n):
    while n > 0:
        take = min(255, n - 1)
        if n - (take + 1) == 1:  # never leave a single byte: it cannot hold a block
            take -= 1
        yield take
        n -= take + 1


def icon(rows):
    pixels = bytearray()
    mask = bytearray()
    for r in reversed(rows):
        bitsrow = 0
        for x, c in enumerate(r):
            if c == ".":
                pixels += b"\0\0\0\0"
                bitsrow |= 0x8000 >> x
            else:
                red, green, blue = COLOURS[c]
                pixels += bytes([blue, green, red, 255])
        mask += struct.pack(">H", bitsrow) + b"\0\0"
    dib = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0) + pixels + mask
    entry = struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, len(dib), 22)
    out = struct.pack("<HHH", 0, 1, 1) + entry + dib
    assert len(out) == 1150
    return out


def main(folder):
    files = {
        "favicon.ico": icon(FOLDER),
        "up_folder.gif": gif(UP_FOLDER, 578),
        "folder.gif": gif(FOLDER, 562),
        "file.gif": gif(FILE, 97),
    }
    for name, data in files.items():
        with open(f"{folder}/{name}", "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")

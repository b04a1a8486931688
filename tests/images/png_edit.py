#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Chunk orders and damage that no image tool writes, made from a PNG.

png_edit.py IN OUT STEP...  with steps applied in order:
  strip                   drop every ancillary chunk
  add:TYPE=VALUE@WHERE    a chunk after IHDR (head), before PLTE (plte-), after
                          PLTE (plte+), after the first IDAT (idat+) or before
                          IEND (end); VALUE: a decimal integer (gAMA, sRGB), a
                          name (cHRM srgb|wide, iCCP adobe|short), or hex
  crc:TYPE                the first TYPE chunk's CRC made wrong
  drop:TYPE               every TYPE chunk removed
  split:N                 the image data in IDATs of N bytes, an empty one between each
  ihdr:OFFSET=BYTE        a byte of IHDR's data changed (CRC kept right)
  size:W,H                IHDR's width and height restated
  cut:N                   the last N bytes of the file removed
  head:N                  only the first N bytes kept
  sig                     the signature damaged
"""
import struct
import sys
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"
PROFILE = "/usr/share/color/icc/compatibleWithAdobeRGB1998.icc"


def chunks_of(data):
    at, out = 8, []
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        out.append([kind.decode("latin-1"), data[at + 8:at + 8 + length], None])
        at += 12 + length
    return out


def encode(kind, body, crc=None):
    raw = kind.encode("latin-1") + body
    return struct.pack(">I", len(body)) + raw + struct.pack(">I", zlib.crc32(raw) if crc is None else crc)


def value_of(kind, text):
    if text.startswith("x"):
        return bytes.fromhex(text[1:])
    if kind == "gAMA":
        return struct.pack(">I", int(text))
    if kind == "sRGB":
        return bytes([int(text)])
    if kind == "cHRM":
        points = {"srgb": [31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000],
                  "wide": [31270, 32900, 73470, 26530, 11400, 82600, 15660, 1770]}[text]
        return struct.pack(">8I", *points)
    if kind == "iCCP":
        if text == "short":
            return b"x\0\0" + zlib.compress(b"")[:2]
        with open(PROFILE, "rb") as f:
            return b"ICC profile\0\0" + zlib.compress(f.read())
    return bytes.fromhex(text)


def place(chunks, where):
    kinds = [c[0] for c in chunks]
    if where == "head":
        return 1
    if where == "plte-":
        return kinds.index("PLTE")
    if where == "plte+":
        return kinds.index("PLTE") + 1
    if where == "idat+":
        return kinds.index("IDAT") + 1
    if where == "end":
        return kinds.index("IEND")
    raise SystemExit(f"unknown place {where}")


def main(source, target, steps):
    with open(source, "rb") as f:
        data = f.read()
    chunks = chunks_of(data)
    cut = head = None
    damaged_signature = False
    for step in steps:
        op, _, arg = step.partition(":")
        if op == "strip":
            chunks = [c for c in chunks if c[0][0].isupper()]
        elif op == "add":
            kind, _, rest = arg.partition("=")
            value, _, where = rest.partition("@")
            chunks.insert(place(chunks, where), [kind, value_of(kind, value), None])
        elif op == "crc":
            chunk = next(c for c in chunks if c[0] == arg)
            chunk[2] = zlib.crc32((chunk[0].encode("latin-1") + chunk[1])) ^ 1
        elif op == "drop":
            chunks = [c for c in chunks if c[0] != arg]
        elif op == "split":
            size = int(arg)
            stream = b"".join(c[1] for c in chunks if c[0] == "IDAT")
            first = next(i for i, c in enumerate(chunks) if c[0] == "IDAT")
            rest = [c for c in chunks if c[0] != "IDAT"]
            pieces = []
            for at in range(0, len(stream), size):
                pieces += [["IDAT", stream[at:at + size], None], ["IDAT", b"", None]]
            chunks = rest[:first] + pieces + rest[first:]
        elif op == "ihdr":
            offset, _, byte = arg.partition("=")
            body = bytearray(chunks[0][1])
            body[int(offset)] = int(byte)
            chunks[0][1] = bytes(body)
        elif op == "size":
            width, height = (int(v) for v in arg.split(","))
            chunks[0][1] = struct.pack(">II", width, height) + chunks[0][1][8:]
        elif op == "cut":
            cut = int(arg)
        elif op == "head":
            head = int(arg)
        elif op == "sig":
            damaged_signature = True
        else:
            raise SystemExit(f"unknown step {step}")
    out = SIGNATURE + b"".join(encode(*c) for c in chunks)
    if damaged_signature:
        out = b"\x89PNG\r\n\x1a\x00" + out[8:]
    if cut:
        out = out[:-cut]
    if head:
        out = out[:head]
    with open(target + ".part", "wb") as f:
        f.write(out)
    import os
    os.replace(target + ".part", target)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3:])

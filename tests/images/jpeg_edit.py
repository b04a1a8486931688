#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""EXIF segments and damage that the image tools do not write, made from a JPEG.

jpeg_edit.py IN OUT STEP...  with steps applied in order:
  exif:ORDER:TYPE:VALUE   an APP1 with EXIF after SOI (before any other): ORDER
                          II or MM, TYPE short or long, the orientation in IFD0
  exif-ifd1:VALUE         an APP1 whose orientation is in IFD1 (the thumbnail's) only
  exif-magic:VALUE        an APP1 whose TIFF header says 43, not 42
  xmp                     an APP1 holding XMP, not EXIF, after SOI
  adobe:TRANSFORM         the Adobe APP14's colour transform byte set
  no-adobe                the Adobe APP14 segment removed
  precision:BITS          the frame header's sample precision restated
  size:W,H                the frame header's width and height restated
  cut:N                   the last N bytes removed
  scan-garbage            bytes in the middle of the entropy-coded data damaged
  huffman-garbage         64 one bits (stuffed) in the middle of the longest
                          scan's data: a code that no Huffman table holds
"""
import os
import struct
import sys


def tiff(order, entries, next_ifds=()):
    """A TIFF structure: IFD0 with `entries` (tag, type, value); IFD1 when given."""
    end = "<" if order == "II" else ">"
    def ifd(items, at, last):
        out = struct.pack(end + "H", len(items))
        for tag, kind, value in items:
            if kind == 3:
                out += struct.pack(end + "HHIHH", tag, 3, 1, value, 0)
            else:
                out += struct.pack(end + "HHII", tag, 4, 1, value)
        return out + struct.pack(end + "I", 0 if last else at + 2 + 12 * len(items) + 4)
    head = order.encode() + struct.pack(end + "HI", 42, 8)
    body = ifd(entries, 8, not next_ifds)
    for i, items in enumerate(next_ifds):
        body += ifd(items, 8 + len(body), i == len(next_ifds) - 1)
    return head + body


def segment(marker, payload):
    return bytes([0xFF, marker]) + struct.pack(">H", len(payload) + 2) + payload


def segments(data):
    """(offset, marker, length) of each segment before the scan."""
    at, out = 2, []
    while at + 4 <= len(data) and data[at] == 0xFF:
        marker = data[at + 1]
        if marker == 0xDA:
            break
        length = struct.unpack(">H", data[at + 2:at + 4])[0]
        out.append((at, marker, length))
        at += 2 + length
    return out


def longest_scan(data):
    """(start, end) of the longest scan's entropy-coded data."""
    scans = []
    at = data.find(b"\xff\xda")
    while at >= 0:
        start = at + 2 + struct.unpack(">H", data[at + 2:at + 4])[0]
        end = start
        while end + 1 < len(data) and not (data[end] == 0xFF and data[end + 1] not in (0x00, 0xFF)):
            end += 1
        scans.append((end - start, start, end))
        at = data.find(b"\xff\xda", end)
    _, start, end = max(scans)
    return start, end


def main(source, target, steps):
    with open(source, "rb") as f:
        data = bytearray(f.read())
    for step in steps:
        op, _, arg = step.partition(":")
        insert = None
        if op == "exif":
            order, kind, value = arg.split(":")
            insert = b"Exif\0\0" + tiff(order, [(0x010F, 3, 1), (0x0112, 3 if kind == "short" else 4, int(value))])
        elif op == "exif-ifd1":
            insert = b"Exif\0\0" + tiff("MM", [(0x010F, 3, 1)], [[(0x0112, 3, int(arg))]])
        elif op == "exif-magic":
            insert = b"Exif\0\0" + tiff("MM", [(0x0112, 3, int(arg))])
            insert = insert[:8] + b"\0\x2b" + insert[10:]
        elif op == "xmp":
            insert = b"http://ns.adobe.com/xap/1.0/\0<x:xmpmeta xmlns:x='adobe:ns:meta/'/>"
        elif op == "adobe":
            at = next(a for a, m, _ in segments(data) if m == 0xEE)
            data[at + 4 + 11] = int(arg)
        elif op == "no-adobe":
            at, _, length = next(s for s in segments(data) if s[1] == 0xEE)
            del data[at:at + 2 + length]
        elif op == "precision":
            at = next(a for a, m, _ in segments(data) if m in (0xC0, 0xC1, 0xC2, 0xC9, 0xCA))
            data[at + 4] = int(arg)
        elif op == "size":
            at = next(a for a, m, _ in segments(data) if m in (0xC0, 0xC1, 0xC2, 0xC9, 0xCA))
            width, height = (int(v) for v in arg.split(","))
            data[at + 5:at + 9] = struct.pack(">HH", height, width)
        elif op == "cut":
            del data[len(data) - int(arg):]
        elif op == "scan-garbage":
            middle = len(data) // 2
            data[middle:middle + 16] = b"\xff\xd0\x13\x37" * 4
        elif op == "huffman-garbage":
            start, end = longest_scan(data)
            middle = (start + end) // 2
            data[middle:middle + 16] = b"\xff\x00" * 8
        else:
            raise SystemExit(f"unknown step {step}")
        if insert is not None:
            data[2:2] = segment(0xE1, insert)
    with open(target + ".part", "wb") as f:
        f.write(data)
    os.replace(target + ".part", target)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3:])

#!/usr/bin/env python3
"""Zeroes the payload of every top-level mdat box of an MP4 in place, keeping
the boxes that describe the media: a file that probes but cannot decode.
Usage: blank_media_data.py FILE"""
import struct
import sys

path = sys.argv[1]
data = bytearray(open(path, "rb").read())
pos = 0
while pos + 8 <= len(data):
    size, kind = struct.unpack(">I4s", data[pos:pos + 8])
    header = 8
    if size == 1:
        size, header = struct.unpack(">Q", data[pos + 8:pos + 16])[0], 16
    elif size == 0:
        size = len(data) - pos
    if size < header:
        break
    if kind == b"mdat":
        data[pos + header:pos + size] = bytes(size - header)
    pos += size
open(path, "wb").write(data)

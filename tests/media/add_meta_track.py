#!/usr/bin/env python3
"""Appends a timed-metadata track (handler 'meta', sample entry given, default
'rtmd') to an MP4 whose moov box is the last top-level box, as camera files
carry one. Usage: add_meta_track.py IN OUT [FOURCC] [HANDLER]"""
import struct
import sys


def box(kind, payload):
    return struct.pack(">I4s", 8 + len(payload), kind) + payload


def full(kind, version, flags, payload):
    return box(kind, struct.pack(">I", (version << 24) | flags) + payload)


def top_level(data):
    pos, out = 0, []
    while pos + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if size == 1:
            size = struct.unpack(">Q", data[pos + 8:pos + 16])[0]
        elif size == 0:
            size = len(data) - pos
        out.append((kind, pos, size))
        pos += size
    return out


def main():
    src, dst = sys.argv[1], sys.argv[2]
    fourcc = (sys.argv[3] if len(sys.argv) > 3 else "rtmd").encode("latin-1")
    handler = (sys.argv[4] if len(sys.argv) > 4 else "meta").encode("latin-1")
    data = open(src, "rb").read()
    boxes = top_level(data)
    kind, moov_pos, moov_size = boxes[-1]
    assert kind == b"moov", "moov must be the last box"
    moov = data[moov_pos:moov_pos + moov_size]

    samples, sample_size = 4, 64
    # The samples go into an mdat placed after the grown moov.
    track_id = 100
    tkhd = full(b"tkhd", 0, 3, struct.pack(">IIIII", 0, 0, track_id, 0, 1000) + bytes(8) +
                struct.pack(">hhhH", 0, 0, 0, 0) +
                struct.pack(">9I", 0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000) + struct.pack(">II", 0, 0))
    mdhd = full(b"mdhd", 0, 0, struct.pack(">IIIIHH", 0, 0, 1000, samples * 250, 0x55C4, 0))
    hdlr = full(b"hdlr", 0, 0, struct.pack(">I4s", 0, handler) + bytes(12) + b"Timed Metadata\x00")
    nmhd = full(b"nmhd", 0, 0, b"")
    dinf = box(b"dinf", full(b"dref", 0, 0, struct.pack(">I", 1) + full(b"url ", 0, 1, b"")))
    entry = box(fourcc, bytes(6) + struct.pack(">H", 1) + bytes(8))
    stsd = full(b"stsd", 0, 0, struct.pack(">I", 1) + entry)
    stts = full(b"stts", 0, 0, struct.pack(">III", 1, samples, 250))
    stsc = full(b"stsc", 0, 0, struct.pack(">IIII", 1, 1, samples, 1))
    stsz = full(b"stsz", 0, 0, struct.pack(">II", sample_size, samples))

    def trak(chunk_offset):
        stco = full(b"stco", 0, 0, struct.pack(">II", 1, chunk_offset))
        stbl = box(b"stbl", stsd + stts + stsc + stsz + stco)
        minf = box(b"minf", nmhd + dinf + stbl)
        return box(b"trak", tkhd + box(b"mdia", mdhd + hdlr + minf))

    grown = len(moov) + len(trak(0))
    new_moov = box(b"moov", moov[8:] + trak(moov_pos + grown + 8))
    assert len(new_moov) == grown
    mdat = box(b"mdat", bytes(samples * sample_size))
    with open(dst, "wb") as f:
        f.write(data[:moov_pos] + new_moov + mdat)


if __name__ == "__main__":
    main()

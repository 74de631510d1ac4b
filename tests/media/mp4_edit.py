#!/usr/bin/env python3
"""Edits of a small MP4 made by the ffmpeg CLI, for the probe tests (boxes from tests/corpus/mp4box.py).

  mp4_edit.py blank FILE                       zeroes every top-level mdat payload in place: the file
                                               probes but cannot decode
  mp4_edit.py add-meta IN OUT FOURCC HANDLER   appends a track of four 64-byte samples with that sample
                                               entry and handler (moov must be the last box), as camera
                                               files carry a timed-metadata track
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus"))
from mp4box import box, full_box, iter_boxes, u16, u32  # noqa: E402


def blank(path):
    data = bytearray(open(path, "rb").read())
    for kind, payload, end, _ in iter_boxes(data):
        if kind == b"mdat":
            data[payload:end] = bytes(end - payload)
    open(path, "wb").write(data)


def add_meta(src, dst, fourcc, handler):
    data = open(src, "rb").read()
    kind, _, moov_end, moov_pos = list(iter_boxes(data))[-1]
    assert kind == b"moov" and moov_end == len(data), "moov must be the last box"
    moov = data[moov_pos:]
    samples, size = 4, 64
    matrix = b"".join(u32(x) for x in (0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000))
    tkhd = full_box(b"tkhd", 0, 3, u32(0), u32(0), u32(100), u32(0), u32(1000), bytes(16), matrix, bytes(8))
    mdhd = full_box(b"mdhd", 0, 0, u32(0), u32(0), u32(1000), u32(samples * 250), u16(0x55C4), u16(0))
    hdlr = full_box(b"hdlr", 0, 0, u32(0), handler, bytes(12), b"Timed Metadata\0")
    dinf = box(b"dinf", full_box(b"dref", 0, 0, u32(1), full_box(b"url ", 0, 1)))
    stsd = full_box(b"stsd", 0, 0, u32(1), box(fourcc, bytes(6), u16(1), bytes(8)))
    tables = (stsd + full_box(b"stts", 0, 0, u32(1), u32(samples), u32(250))
              + full_box(b"stsc", 0, 0, u32(1), u32(1), u32(samples), u32(1))
              + full_box(b"stsz", 0, 0, u32(size), u32(samples)))

    def trak(chunk_offset):
        stbl = box(b"stbl", tables, full_box(b"stco", 0, 0, u32(1), u32(chunk_offset)))
        return box(b"trak", tkhd, box(b"mdia", mdhd, hdlr, box(b"minf", full_box(b"nmhd", 0, 0), dinf, stbl)))

    grown = len(moov) + len(trak(0))  # the samples go into an mdat after the grown moov
    with open(dst, "wb") as f:
        f.write(data[:moov_pos] + box(b"moov", moov[8:], trak(moov_pos + grown + 8)) + box(b"mdat", bytes(samples * size)))


if __name__ == "__main__":
    if sys.argv[1] == "blank":
        blank(sys.argv[2])
    else:
        add_meta(sys.argv[2], sys.argv[3], sys.argv[4].encode("latin-1"), sys.argv[5].encode("latin-1"))

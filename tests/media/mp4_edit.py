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
from camera import chunk_offsets, dinf, hdlr, mdhd, stsc, stsz, stts, tkhd  # noqa: E402
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
    samples, size = 4, 64
    tables = (full_box(b"stsd", 0, 0, u32(1), box(fourcc, bytes(6), u16(1), bytes(8)))
              + stts([250] * samples) + stsc([samples]) + stsz(fixed=size, count=samples))

    def trak(chunk_offset):
        stbl = box(b"stbl", tables, chunk_offsets([chunk_offset], False))
        return box(b"trak", tkhd(100, 1000), box(b"mdia", mdhd(1000, samples * 250), hdlr(handler, "Timed Metadata"),
                                               box(b"minf", full_box(b"nmhd", 0, 0), dinf(), stbl)))

    grown = len(data) + len(trak(0))  # the samples go into an mdat after the grown moov
    with open(dst, "wb") as f:
        f.write(data[:moov_pos] + box(b"moov", data[moov_pos + 8:], trak(grown + 8)) + box(b"mdat", bytes(samples * size)))


if __name__ == "__main__":
    if sys.argv[1] == "blank":
        blank(sys.argv[2])
    else:
        add_meta(sys.argv[2], sys.argv[3], sys.argv[4].encode("latin-1"), sys.argv[5].encode("latin-1"))

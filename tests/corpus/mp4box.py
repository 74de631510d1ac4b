"""Minimal ISO base media file (MP4) box reading and writing for the test corpus.

Contract: pure functions over bytes; no file handles are kept. Reading raises
ValueError on a box whose size runs past its parent, so a broken fixture or a
broken engine output is reported, never silently truncated. Only the boxes the
corpus needs are understood: the container boxes on the path to the sample
tables, and the sample tables themselves.
"""

import struct


def iter_boxes(data, start=0, end=None):
    """Yields (type, payload_start, box_end, box_start) for the boxes in data[start:end]."""
    end = len(data) if end is None else end
    pos = start
    while pos + 8 <= end:
        size, typ = struct.unpack_from(">I4s", data, pos)
        header = 8
        if size == 1:
            if pos + 16 > end:
                raise ValueError("truncated 64-bit box header at %d" % pos)
            size = struct.unpack_from(">Q", data, pos + 8)[0]
            header = 16
        elif size == 0:
            size = end - pos
        if size < header or pos + size > end:
            raise ValueError("box %r at %d has size %d past its parent end %d" % (typ, pos, size, end))
        yield typ, pos + header, pos + size, pos
        pos += size


def find(data, path, start=0, end=None):
    """Returns (payload_start, box_end) of the first box along path (list of types), or None."""
    end = len(data) if end is None else end
    for typ, ps, pe, _ in iter_boxes(data, start, end):
        if typ == path[0]:
            return find(data, path[1:], ps, pe) if len(path) > 1 else (ps, pe)
    return None


# ---------------------------------------------------------------- writing

def box(typ, *parts):
    payload = b"".join(parts)
    return struct.pack(">I4s", 8 + len(payload), typ) + payload


def full_box(typ, version, flags, *parts):
    return box(typ, struct.pack(">I", (version << 24) | flags), *parts)


u8, u16, u32, u64, i32 = ((lambda v, f=f: struct.pack(f, v)) for f in (">B", ">H", ">I", ">Q", ">i"))


# ---------------------------------------------------------------- sample tables

class Track:
    """The sample tables of one trak, resolved to per-sample values: sample_entry is the whole stsd
    entry (size, type, body); cts the composition offsets (0 when absent); sync the 0-based sync
    sample indices (None: all); lead the seconds of empty edits before the media."""

    def __init__(self):
        self.handler, self.timescale, self.sample_entry, self.sync = b"", 0, b"", None
        self.sizes, self.offsets, self.deltas, self.cts = [], [], [], []
        self.lead = 0.0

    def sample(self, data, i):
        return data[self.offsets[i]:self.offsets[i] + self.sizes[i]]


def _entries(data, at, fmt):
    """The entries of a full-box table whose 32-bit count follows the version and flags at `at`."""
    n, size = struct.unpack_from(">I", data, at + 4)[0], struct.calcsize(fmt)
    return [struct.unpack_from(fmt, data, at + 8 + size * k) for k in range(n)]


def parse_track(data, ps, pe):
    t = Track()
    mdia = find(data, [b"mdia"], ps, pe)
    mdhd = find(data, [b"mdhd"], *mdia)[0]
    t.timescale = struct.unpack_from(">I", data, mdhd + (20 if data[mdhd] == 1 else 12))[0]
    t.handler = data[find(data, [b"hdlr"], *mdia)[0] + 8:][:4]
    stbl = find(data, [b"minf", b"stbl"], *mdia)

    def table(kind):
        found = find(data, [kind], *stbl)
        return found and found[0]

    stsd = table(b"stsd")
    t.sample_entry = data[stsd + 8:stsd + 8 + struct.unpack_from(">I", data, stsd + 8)[0]]
    fixed, count = struct.unpack_from(">II", data, table(b"stsz") + 4)
    t.sizes = [fixed] * count if fixed else list(struct.unpack_from(">%dI" % count, data, table(b"stsz") + 12))
    for c, d in _entries(data, table(b"stts"), ">II"):
        t.deltas += [d] * c
    ctts = table(b"ctts")
    if ctts:
        for c, o in _entries(data, ctts, ">Ii" if data[ctts] == 1 else ">II"):
            t.cts += [o] * c
    t.cts = (t.cts + [0] * count)[:count]
    if table(b"stss"):
        t.sync = {x - 1 for (x,) in _entries(data, table(b"stss"), ">I")}
    chunks = [o for (o,) in (_entries(data, table(b"stco"), ">I") if table(b"stco")
                             else _entries(data, table(b"co64"), ">Q"))]
    stsc = _entries(data, table(b"stsc"), ">III")
    for e, (first, per, _) in enumerate(stsc):
        last = stsc[e + 1][0] - 1 if e + 1 < len(stsc) else len(chunks)
        for off in chunks[first - 1:last]:
            for _ in range(per):
                if len(t.offsets) >= count:
                    break
                t.offsets.append(off)
                off += t.sizes[len(t.offsets) - 1]
    if len(t.offsets) != count:
        raise ValueError("chunk tables place %d of %d samples" % (len(t.offsets), count))
    return t


def parse_movie(data):
    """Returns the list of Track of the file's moov (raises ValueError if none)."""
    moov = find(data, [b"moov"])
    if moov is None:
        raise ValueError("no moov box")
    mvhd = find(data, [b"mvhd"], *moov)[0]
    scale = struct.unpack_from(">I", data, mvhd + (20 if data[mvhd] == 1 else 12))[0]
    tracks = []
    for t, ps, pe, _ in iter_boxes(data, *moov):
        if t == b"trak":
            tracks.append(parse_track(data, ps, pe))
            elst = find(data, [b"edts", b"elst"], ps, pe)
            fmt = ">QqI" if elst and data[elst[0]] == 1 else ">IiI"
            for duration, media_time, _ in _entries(data, elst[0], fmt) if elst else []:
                if media_time != -1:
                    break
                tracks[-1].lead += duration / scale
    return tracks


def avcc_or_hvcc(sample_entry):
    """The codec configuration box payload inside a visual sample entry (78-byte body)."""
    for typ, ps, pe, _ in iter_boxes(sample_entry, 8 + 78):
        if typ in (b"avcC", b"hvcC"):
            return typ, sample_entry[ps:pe]
    raise ValueError("no avcC/hvcC in sample entry")


def nal_units(sample):
    """The NAL units of a sample, each with its 4-byte length."""
    out, p = [], 0
    while p < len(sample):
        (ln,) = struct.unpack_from(">I", sample, p)
        out.append(sample[p:p + 4 + ln])
        p += 4 + ln
    if p != len(sample):
        raise ValueError("NAL lengths overrun the sample")
    return out


def parameter_sets(sample_entry):
    """The SPS/PPS (and VPS) NAL units of a sample entry's avcC/hvcC, in stored order."""
    typ, cfg = avcc_or_hvcc(sample_entry)
    out = []

    def take(p, n):  # n units with 16-bit lengths from p; returns the offset after them
        for _ in range(n):
            (ln,) = struct.unpack_from(">H", cfg, p)
            out.append(cfg[p + 2:p + 2 + ln])
            p += 2 + ln
        return p

    if typ == b"avcC":
        p = take(6, cfg[5] & 31)   # SPS
        take(p + 1, cfg[p])        # PPS
        return out
    p = 23
    for _ in range(cfg[22]):       # arrays: type byte, count, units
        p = take(p + 3, struct.unpack_from(">H", cfg, p + 1)[0])
    return out

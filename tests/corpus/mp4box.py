"""Minimal ISO base media file (MP4) box reading and writing for the test corpus.

Contract: pure functions over bytes; no file handles are kept. Reading raises
ValueError on a box whose size runs past its parent, so a broken fixture or a
broken engine output is reported, never silently truncated. Only the boxes the
corpus needs are understood: the container boxes on the path to the sample
tables, and the sample tables themselves.
"""

import struct

CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl", b"edts", b"dinf", b"tref", b"udta"}


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
            if len(path) == 1:
                return ps, pe
            return find(data, path[1:], ps, pe)
    return None


def find_all(data, typ, start, end):
    return [(ps, pe) for t, ps, pe, _ in iter_boxes(data, start, end) if t == typ]


# ---------------------------------------------------------------- writing

def box(typ, *parts):
    payload = b"".join(parts)
    return struct.pack(">I4s", 8 + len(payload), typ) + payload


def full_box(typ, version, flags, *parts):
    return box(typ, struct.pack(">I", (version << 24) | flags), *parts)


def _packer(fmt):
    return lambda v: struct.pack(fmt, v)


u8, u16, u32, u64, i32 = (_packer(f) for f in (">B", ">H", ">I", ">Q", ">i"))


# ---------------------------------------------------------------- sample tables

class Track:
    """The sample tables of one trak, resolved to per-sample values."""

    def __init__(self):
        self.handler = b""
        self.timescale = 0
        self.sample_entry = b""      # the whole stsd entry (size, type, body)
        self.sizes = []
        self.offsets = []
        self.deltas = []             # per sample
        self.cts = []                # per sample composition offset (0 when absent)
        self.sync = None             # set of 0-based sync sample indices, None = all

    def sample(self, data, i):
        return data[self.offsets[i]:self.offsets[i] + self.sizes[i]]


def parse_track(data, ps, pe):
    t = Track()
    mdia = find(data, [b"mdia"], ps, pe)
    mdhd = find(data, [b"mdhd"], *mdia)
    v = data[mdhd[0]]
    t.timescale = struct.unpack_from(">I", data, mdhd[0] + (20 if v == 1 else 12))[0]
    hdlr = find(data, [b"hdlr"], *mdia)
    t.handler = data[hdlr[0] + 8:hdlr[0] + 12]
    stbl = find(data, [b"minf", b"stbl"], *mdia)
    sp, se = stbl

    stsd = find(data, [b"stsd"], sp, se)
    esize = struct.unpack_from(">I", data, stsd[0] + 8)[0]
    t.sample_entry = data[stsd[0] + 8:stsd[0] + 8 + esize]

    stsz = find(data, [b"stsz"], sp, se)
    fixed, count = struct.unpack_from(">II", data, stsz[0] + 4)
    if fixed:
        t.sizes = [fixed] * count
    else:
        t.sizes = list(struct.unpack_from(">%dI" % count, data, stsz[0] + 12))

    stts = find(data, [b"stts"], sp, se)
    n = struct.unpack_from(">I", data, stts[0] + 4)[0]
    for k in range(n):
        c, d = struct.unpack_from(">II", data, stts[0] + 8 + 8 * k)
        t.deltas += [d] * c
    t.cts = [0] * count
    ctts = find(data, [b"ctts"], sp, se)
    if ctts:
        n = struct.unpack_from(">I", data, ctts[0] + 4)[0]
        i = 0
        signed = data[ctts[0]] == 1
        for k in range(n):
            c, o = struct.unpack_from(">Ii" if signed else ">II", data, ctts[0] + 8 + 8 * k)
            for _ in range(c):
                if i < count:
                    t.cts[i] = o
                i += 1
    stss = find(data, [b"stss"], sp, se)
    if stss:
        n = struct.unpack_from(">I", data, stss[0] + 4)[0]
        t.sync = {x - 1 for x in struct.unpack_from(">%dI" % n, data, stss[0] + 8)}

    co = find(data, [b"stco"], sp, se)
    if co:
        n = struct.unpack_from(">I", data, co[0] + 4)[0]
        chunks = list(struct.unpack_from(">%dI" % n, data, co[0] + 8))
    else:
        co = find(data, [b"co64"], sp, se)
        n = struct.unpack_from(">I", data, co[0] + 4)[0]
        chunks = list(struct.unpack_from(">%dQ" % n, data, co[0] + 8))
    stsc = find(data, [b"stsc"], sp, se)
    n = struct.unpack_from(">I", data, stsc[0] + 4)[0]
    entries = [struct.unpack_from(">III", data, stsc[0] + 8 + 12 * k) for k in range(n)]
    i = 0
    for e, (first, per, _) in enumerate(entries):
        last = entries[e + 1][0] - 1 if e + 1 < len(entries) else len(chunks)
        for c in range(first - 1, last):
            off = chunks[c]
            for _ in range(per):
                if i >= count:
                    break
                t.offsets.append(off)
                off += t.sizes[i]
                i += 1
    if i != count:
        raise ValueError("chunk tables place %d of %d samples" % (i, count))
    return t


def parse_movie(data):
    """Returns the list of Track of the file's moov (raises ValueError if none)."""
    moov = find(data, [b"moov"])
    if moov is None:
        raise ValueError("no moov box")
    return [parse_track(data, ps, pe) for ps, pe in find_all(data, b"trak", *moov)]


def avcc_or_hvcc(sample_entry):
    """The codec configuration box payload inside a visual sample entry (78-byte body)."""
    for typ, ps, pe, _ in iter_boxes(sample_entry, 8 + 78):
        if typ in (b"avcC", b"hvcC"):
            return typ, sample_entry[ps:pe]
    raise ValueError("no avcC/hvcC in sample entry")

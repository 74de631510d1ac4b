"""Two picture parameter sets, as the newer long-GOP body writes them: an encoded H.264 stream with one
PPS (id 0) rewritten so that its reference pictures name PPS 2 (the encoder's own set) and its other
pictures PPS 3 (that body's PPS 3 scaling matrices at PPS level; chroma QP offsets +1, or +0 as that body).

The slice headers are rewritten bit by bit: the fields up to pic_parameter_set_id written anew, the rest
of the header copied, and (CABAC) the slice data re-aligned to a byte boundary; emulation prevention is
removed before and added again after. Pictures naming PPS 3 are never referred to, so the matrices they
were not encoded with change only themselves; a decoder given both sets decodes the stream exactly.

Contract: pure functions over bytes; a stream this does not understand (slice groups, field coding, SP/SI
slices, picture order type 1) raises ValueError.
"""

import re
import struct

import mp4box

_lists = lambda *texts: tuple([int(v) for v in t.split()] for t in texts)  # noqa: E731  (lists of numbers)

# The newer body's lists (zig-zag order): 4x4 intra and inter (Y, Cb, Cr alike), 8x8 intra and inter.
PPS2_4X4 = _lists("12 14 14 16 14 16 22 22 22 22 24 24 24 30 30 34", "12 14 14 16 16 16 18 16 16 18 19 18 19 20 20 21")
PPS2_8X8 = _lists("12 13 13 14 13 14 15 14 14 15 16 18 15 18 16 19 21 20 20 21 19 20 22 25 24 25 22 20 27 23 25 25 25 "
                  "25 23 27 30 25 27 26 27 25 30 33 27 27 27 27 33 36 30 29 30 36 39 33 33 39 40 36 40 41 41 42",
                  "12 13 13 14 14 14 15 15 15 15 16 16 16 16 16 17 17 17 17 17 17 18 17 17 18 17 17 18 22 18 18 18 18 "
                  "18 18 22 22 18 18 18 18 18 22 22 19 19 19 19 22 23 20 20 20 23 24 21 21 24 25 22 25 26 26 27")
PPS3_4X4 = _lists("12 16 16 18 16 18 24 28 28 24 30 30 30 36 36 40", "12 16 16 18 18 18 20 20 20 20 22 22 22 24 24 26")
PPS3_8X8 = _lists("12 14 14 16 15 16 17 16 16 17 18 20 17 20 18 21 23 22 22 23 21 24 25 28 26 28 25 24 31 27 29 28 28 "
                  "29 27 31 35 30 31 30 31 30 35 39 33 33 33 33 39 43 36 35 36 43 46 38 38 46 47 40 47 48 48 49",
                  "12 14 14 16 16 16 17 17 17 17 18 18 18 18 18 19 19 19 19 19 19 20 20 20 20 20 20 20 26 21 21 21 21 21 "
                  "21 26 27 22 22 22 22 22 27 28 23 23 23 23 28 30 24 24 24 30 31 25 25 31 32 26 32 33 33 34")


def zigzag(n):
    """The raster position of each zig-zag index of an n x n block (frame coding)."""
    cells = sorted((x + y, y if (x + y) % 2 else x, y * n + x) for y in range(n) for x in range(n))
    return [at for _, _, at in cells]


def newer_body_x264():
    """libx264 options coding as the newer body's PPS 2: its lists (in libx264's raster order), chroma offset 1."""
    def raster(values):
        order = zigzag(int(len(values) ** 0.5))
        return ",".join(str(values[order.index(at)]) for at in range(len(values)))
    return ":chroma_qp_offset=1:cqm4i=%s:cqm4p=%s:cqm8i=%s:cqm8p=%s" % tuple(map(raster, PPS2_4X4 + PPS2_8X8))


# ---------------------------------------------------------------- bits

def unescape(nal):
    return re.sub(b"\x00\x00\x03", b"\x00\x00", nal)


def escape(rbsp):
    out = re.sub(b"\x00\x00(?=[\x00-\x03])", b"\x00\x00\x03", rbsp)
    return out + (b"\x03" if out.endswith(b"\x00") else b"")


class Reader:
    """Exp-Golomb and fixed-width fields of an RBSP, as a string of '0'/'1' read from bit pos."""

    def __init__(self, data, pos=0):
        self.data, self.pos = data, pos
        self.bits = "".join(format(b, "08b") for b in data)

    def u(self, n):
        if self.pos + n > len(self.bits):
            raise ValueError("read past the end of the unit")
        self.pos += n
        return int(self.bits[self.pos - n:self.pos] or "0", 2)

    def ue(self):
        zeros = self.bits.find("1", self.pos) - self.pos
        if zeros < 0:
            raise ValueError("read past the end of the unit")
        self.pos += zeros
        return self.u(zeros + 1) - 1

    def se(self):
        k = self.ue()
        return (k + 1) // 2 if k & 1 else -(k // 2)

    def stop_bit(self):
        return self.bits.rindex("1")

    def more_rbsp_data(self):
        return self.pos < self.stop_bit()


class Writer:
    def __init__(self):
        self.bits = ""

    def u(self, n, v):
        self.bits += format(v, "0%db" % n)[-n:] if n else ""

    def ue(self, v):
        self.bits += "0" * ((v + 1).bit_length() - 1) + format(v + 1, "b")

    def se(self, v):
        self.ue(2 * v - 1 if v > 0 else -2 * v)

    def copy(self, reader, end):
        self.bits += reader.bits[reader.pos:end]
        reader.pos = end

    def bytes(self, trailing=True):
        bits = self.bits + ("1" + "0" * (-(len(self.bits) + 1) % 8) if trailing else "")
        return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))


# ---------------------------------------------------------------- parameter sets

def read_sps(nal):
    r = Reader(unescape(nal), 8)
    s = {"profile": r.u(8)}
    r.u(16)
    r.ue()
    s["chroma"] = 1
    if s["profile"] in (100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135):
        s["chroma"] = r.ue()
        if s["chroma"] == 3 and r.u(1):
            raise ValueError("separate colour planes")
        r.ue(), r.ue(), r.u(1)
        if r.u(1):
            for i in range(8 if s["chroma"] != 3 else 12):
                if r.u(1):
                    skip_list(r, 16 if i < 6 else 64)
    s["frame_num_bits"] = r.ue() + 4
    s["poc_type"] = r.ue()
    if s["poc_type"] == 1:
        raise ValueError("picture order type 1")
    s["poc_bits"] = r.ue() + 4 if s["poc_type"] == 0 else 0
    r.ue(), r.u(1), r.ue(), r.ue()
    if not r.u(1):
        raise ValueError("field coding")
    return s


def skip_list(r, size):
    last = nxt = 8
    for _ in range(size):
        if nxt:
            nxt = (last + r.se() + 256) % 256
        last = nxt or last


PPS_FIELDS = ("id", "sps", "cabac", "bottom_field_poc", "groups", "ref_l0", "ref_l1", "weighted", "bipred",
              "qp", "qs", "chroma_qp")


def read_pps(nal):
    r = Reader(unescape(nal), 8)
    p = dict(zip(PPS_FIELDS, (r.ue(), r.ue(), r.u(1), r.u(1), r.ue(), r.ue(), r.ue(), r.u(1), r.u(2), r.se(),
                              r.se(), r.se())))
    if p["groups"]:
        raise ValueError("slice groups")
    p["deblocking"], p["constrained_intra"], p["redundant"] = r.u(1), r.u(1), r.u(1)
    p["t8x8"], p["lists"], p["chroma_qp2"] = 0, None, p["chroma_qp"]
    if r.more_rbsp_data():
        p["t8x8"] = r.u(1)
        if r.u(1):  # the encoder's matrices (rewritten as they are under PPS 2)
            for i in range(6 + 2 * p["t8x8"]):
                if r.u(1):
                    skip_list(r, 16 if i < 6 else 64)
        p["chroma_qp2"] = r.se()
    return p


def with_id(nal, new_id):
    """The PPS NAL unit under another id, every other bit as it was."""
    r = Reader(unescape(nal), 8)
    r.ue()
    w = Writer()
    w.ue(new_id)
    w.copy(r, r.stop_bit())
    return nal[:1] + escape(w.bytes())


def write_pps(p, nal_header):
    w = Writer()
    w.ue(p["id"]), w.ue(p["sps"]), w.u(1, p["cabac"]), w.u(1, p["bottom_field_poc"]), w.ue(0)
    w.ue(p["ref_l0"]), w.ue(p["ref_l1"]), w.u(1, p["weighted"]), w.u(2, p["bipred"])
    w.se(p["qp"]), w.se(p["qs"]), w.se(p["chroma_qp"])
    w.u(1, p["deblocking"]), w.u(1, p["constrained_intra"]), w.u(1, p["redundant"])
    w.u(1, p["t8x8"]), w.u(1, p["lists"] is not None)
    for values in p["lists"] or []:
        w.u(1, 1)
        last = 8
        for v in values:
            w.se((v - last + 128) % 256 - 128)
            last = v
    w.se(p["chroma_qp2"])
    return bytes([nal_header]) + escape(w.bytes())


# ---------------------------------------------------------------- slice headers

def slice_with_pps(nal, sps, pps, new_id):
    """The slice NAL unit naming PPS new_id, its slice data unchanged."""
    r = Reader(unescape(nal), 8)
    w = Writer()
    w.ue(r.ue())
    kind = r.ue()
    w.ue(kind)
    r.ue()
    w.ue(new_id)
    kind %= 5
    start = r.pos
    ref_idc, idr = nal[0] >> 5 & 3, nal[0] & 31 == 5
    r.u(sps["frame_num_bits"])
    if idr:
        r.ue()
    if sps["poc_type"] == 0:
        r.u(sps["poc_bits"])
        if pps["bottom_field_poc"]:
            r.se()
    if pps["redundant"]:
        r.ue()
    if kind == 1:
        r.u(1)
    refs = [pps["ref_l0"] + 1, pps["ref_l1"] + 1]
    if kind in (0, 1) and r.u(1):
        refs = [r.ue() + 1, r.ue() + 1 if kind == 1 else 0]
    for _ in range({0: 1, 1: 2}.get(kind, 0)):  # ref_pic_list_modification
        if r.u(1):
            while r.ue() != 3:
                r.ue()
    if (pps["weighted"] and kind == 0) or (pps["bipred"] == 1 and kind == 1):
        r.ue()
        if sps["chroma"]:
            r.ue()
        for n in refs[:1 + (kind == 1)]:
            for _ in range(n):
                if r.u(1):
                    r.se(), r.se()
                if sps["chroma"] and r.u(1):
                    r.se(), r.se(), r.se(), r.se()
    if ref_idc:
        if idr:
            r.u(2)
        elif r.u(1):
            while True:
                op = r.ue()
                if op == 0:
                    break
                for _ in range({1: 1, 2: 1, 3: 2, 4: 1, 6: 1}.get(op, 0)):
                    r.ue()
    if pps["cabac"] and kind != 2:
        r.ue()
    r.se()
    if kind > 2:
        raise ValueError("SP/SI slice")
    if pps["deblocking"] and r.ue() != 1:
        r.se(), r.se()
    r.pos, end = start, r.pos
    w.copy(r, end)
    if pps["cabac"]:
        w.u(-len(w.bits) % 8, (1 << (-len(w.bits) % 8)) - 1)
        rest = r.data[(end + 7) // 8:]
        return nal[:1] + escape(w.bytes(trailing=False) + rest)
    w.copy(r, r.stop_bit())
    return nal[:1] + escape(w.bytes())


# ---------------------------------------------------------------- the stream

def two_pps(sample_entry, samples, chroma_step=1):
    """(sample entry, samples) with PPS 2 and 3 (chroma QP offsets chroma_step above 2's) named by the slices."""
    _, cfg = mp4box.avcc_or_hvcc(sample_entry)
    found = mp4box.parameter_sets(sample_entry)
    if cfg[5] & 31 != 1 or len(found) != 2:
        raise ValueError("the encoder wrote other than one SPS and one PPS")
    sps_nal, pps_nal = found
    sps, pps = read_sps(sps_nal), read_pps(pps_nal)
    pps3 = dict(pps, id=3, chroma_qp=pps["chroma_qp"] + chroma_step, chroma_qp2=pps["chroma_qp2"] + chroma_step,
                lists=[PPS3_4X4[0]] * 3 + [PPS3_4X4[1]] * 3 + ([PPS3_8X8[0], PPS3_8X8[1]] if pps["t8x8"] else []))
    sets = [with_id(pps_nal, 2), write_pps(pps3, pps_nal[0])]
    avcc = (cfg[:8 + len(sps_nal)] + bytes([2]) + b"".join(struct.pack(">H", len(s)) + s for s in sets)
            + cfg[11 + len(sps_nal) + len(pps_nal):])
    at, end = next((b, e) for t, _, e, b in mp4box.iter_boxes(sample_entry, 8 + 78) if t == b"avcC")
    entry = mp4box.box(sample_entry[4:8], sample_entry[8:at] + mp4box.box(b"avcC", avcc) + sample_entry[end:])

    def renamed(n):  # a slice of a reference picture names PPS 2, of any other PPS 3
        return slice_with_pps(n, sps, pps, 2 if n[0] >> 5 & 3 else 3) if 1 <= n[0] & 31 <= 5 else n

    return entry, [b"".join(struct.pack(">I", len(n)) + n for n in (renamed(u[4:]) for u in mp4box.nal_units(s)))
                   for s in samples]

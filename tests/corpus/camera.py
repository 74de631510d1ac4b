"""Camera-style layout of a recording: the header, the media data groups and the moov.

Imitates the XAVC S (avc1) and XAVC HS (hvc1) bodies described in the format notes:
ftyp `XAVC` (28 bytes), a 148-byte `uuid` PROF box, optional padding so the media data
starts on a 0x40000 or 0x20000 boundary (or none: data at 192), a 64-bit `mdat`, the media
data as one group per GOP (rtmd chunk -> video chunk -> audio chunk per audio track, no
gaps), and the moov at the end (video, audio, rtmd traks, each ending in the USMT `uuid`).

Contract: pure functions building bytes or writing to a given binary stream; errors in the
inputs raise ValueError. Nothing here runs ffmpeg.
"""

import struct

from mp4box import box, full_box, u8, u16, u32, u64, i32

USMT = bytes.fromhex("55534d5421d24fcebb88695cfac9c740")
PROF = b"PROF" + bytes.fromhex("21d24fcebb88695cfac9c740")
RTMD_KEY = bytes.fromhex("060e2b34025301010c02010101010000")
GYRO_KEY = bytes.fromhex("060e2b34025301010c02010102020000")


# ---------------------------------------------------------------- rtmd samples

def bcd(v):
    return ((v // 10) << 4) | (v % 10)


def rtmd_sample(size, frame, fps_num, fps_den):
    """One timed-metadata sample: the 28-byte header, tagged sets, zeros to `size`."""
    nominal = (fps_num + fps_den - 1) // fps_den
    secs, ff = divmod(frame, nominal)
    hh, rem = divmod(secs, 3600)
    mm, ss = divmod(rem, 60)
    items = (u16(0x8100) + u16(4) + u32(frame)
             + u16(0x3210) + u16(16) + bytes(range(16))
             + u16(0x8106) + u16(4) + u32(fps_num * 1000 // fps_den))
    sets = RTMD_KEY + u16(len(items)) + items
    if size >= 4096:
        # Bodies with 19,456-byte samples carry gyro/accelerometer rows.
        rows = b"".join(struct.pack(">hhh", (frame * 7 + k) % 3000 - 1500, k * 3 - 200, 1000 - k)
                        for k in range(100))
        gyro = u16(0xE400) + u16(len(rows)) + rows
        sets += GYRO_KEY + u16(len(gyro)) + gyro
    pad = size - 28 - len(sets)
    if pad < 0:
        raise ValueError("rtmd size %d too small" % size)
    header = (bytes.fromhex("001c0100") + u16(len(sets)) + u16(pad) + bytes.fromhex("f0010010")
              + bytes([0x00, bcd(hh % 24), bcd(mm), bcd(ss)]) + u16(ff) + u16(nominal)
              + bytes(8))
    assert len(header) == 28
    return header + sets + bytes(pad)


# ---------------------------------------------------------------- header

def ftyp(short=False):
    if short:   # newer bodies: 24 bytes, `XAVC iso6`
        return box(b"ftyp", b"XAVC", u32(0x010A1FFF), b"XAVC", b"iso6")
    return box(b"ftyp", b"XAVC", u32(0x01001FFF), b"XAVC", b"mp42", b"iso2")


def prof_uuid(width, height, fps_num, fps_den, bitrate_kbps):
    fprf = box(b"FPRF", u32(0), u32(0), u32(0))
    aprf = box(b"APRF", u32(0), u32(1), b"twos", u32(48000), u32(2), u32(16))
    vprf = box(b"VPRF", u32(0), u32(1), b"avc1", u32(bitrate_kbps), u32(fps_num), u32(fps_den),
               u16(width), u16(height), u32(0), u32(0))
    body = PROF + u32(0) + u32(3) + fprf + aprf + vprf
    body += bytes(148 - 8 - len(body))
    b = box(b"uuid", body)
    assert len(b) == 148, len(b)
    return b


def file_header(data_at, profile, mdat_style="large", media_len=0, short_ftyp=False):
    """Bytes before the media data. data_at: absolute offset of the media data (192 = no padding).

    mdat_style: "large" = size 1 + 64-bit size (the finished file); "placeholder" = size 1 with a
    64-bit size of 0 (as in an interrupted recording); "zero" = 32-bit size 0, 8-byte header.
    """
    head = ftyp(short_ftyp) + prof_uuid(*profile)
    hdr_len = 8 if mdat_style == "zero" else 16
    gap = data_at - hdr_len - len(head)
    if gap != 0:
        if gap < 8:
            raise ValueError("data offset %d leaves no room for padding" % data_at)
        head += box(b"free", bytes(gap - 8))
    head += {"large": u32(1) + b"mdat" + u64(16 + media_len),
             "placeholder": u32(1) + b"mdat" + u64(0)}.get(mdat_style, u32(0) + b"mdat")
    assert len(head) == data_at, (len(head), data_at)
    return head


def nrtm_meta(model):
    """The `meta` box some bodies write after the moov: handler `nrtm` and an XML document."""
    xml = ('<?xml version="1.0" encoding="UTF-8"?>\n<NonRealTimeMeta xmlns="urn:schemas-professionalDisc:'
           'nonRealTimeMeta:ver.2.00" lastUpdate="2026-12-06T10:00:00+09:00">\n<Device manufacturer="Test" '
           'modelName="%s"/>\n</NonRealTimeMeta>' % model).encode() + b"\0"
    return full_box(b"meta", 0, 0, hdlr(b"nrtm", ""), full_box(b"xml ", 0, 0, xml))


# ---------------------------------------------------------------- moov

def usmt():
    return box(b"uuid", USMT, box(b"MTDT", u16(1), u16(10), u16(0x0A), u32(0x15C7), b"rec"))


MATRIX = b"".join(u32(x) for x in (0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000))


def tkhd(track_id, duration, width=0, height=0, audio=False):
    return full_box(b"tkhd", 0, 3, u32(0), u32(0), u32(track_id), u32(0), u32(duration), bytes(8),
                    u16(0), u16(1 if audio else 0), u16(0x0100 if audio else 0), u16(0), MATRIX,
                    u32(width << 16), u32(height << 16))


def mdhd(timescale, duration):
    return full_box(b"mdhd", 0, 0, u32(0), u32(0), u32(timescale), u32(duration), u16(0x55C4), u16(0))


def hdlr(kind, name):
    return full_box(b"hdlr", 0, 0, u32(0), kind, bytes(12), name.encode() + b"\0")


def dinf():
    return box(b"dinf", full_box(b"dref", 0, 0, u32(1), full_box(b"url ", 0, 1)))


def runs(values):
    """Run-length entries [count, value] of a per-sample list."""
    out = []
    for v in values:
        if out and out[-1][1] == v:
            out[-1][0] += 1
        else:
            out.append([1, v])
    return out


def stts(deltas, kind=b"stts"):
    return full_box(kind, 0, 0, u32(len(runs(deltas))), *(u32(c) + u32(d) for c, d in runs(deltas)))


def stsc(per_chunk):
    entries = []
    for i, n in enumerate(per_chunk):
        if not entries or entries[-1][1] != n:
            entries.append((i + 1, n))
    return full_box(b"stsc", 0, 0, u32(len(entries)), *(u32(f) + u32(n) + u32(1) for f, n in entries))


def stsz(sizes=None, fixed=0, count=0):
    if sizes is None:
        return full_box(b"stsz", 0, 0, u32(fixed), u32(count))
    return full_box(b"stsz", 0, 0, u32(0), u32(len(sizes)), *(u32(s) for s in sizes))


def chunk_offsets(offsets, co64):
    if co64 or (offsets and max(offsets) > 0xFFFFFFFF):
        return full_box(b"co64", 0, 0, u32(len(offsets)), *(u64(o) for o in offsets))
    return full_box(b"stco", 0, 0, u32(len(offsets)), *(u32(o) for o in offsets))


def _audio_entry(kind, channels, bits, *children):
    return box(kind, bytes(6), u16(1), bytes(8), u16(channels), u16(bits), u16(0), u16(0), u32(48000 << 16), *children)


def twos_entry():
    return _audio_entry(b"twos", 2, 16)


def ipcm_entry():
    return _audio_entry(b"ipcm", 1, 24, full_box(b"pcmC", 0, 0, u8(0), u8(24)))  # format_flags 0 = big-endian


RTMD_ENTRY = box(b"rtmd", bytes(6), u16(1))


def build_moov(rec, media_base, co64=False):
    """The moov of a recording laid out by layout_groups, media data at absolute media_base.

    rec: dict with video (entry, sizes, cts, sync, timescale, delta, elst, width, height),
    audio (list of (entry_bytes, bytes_per_frame)), rtmd_size, groups (from layout_groups).
    """
    v = rec["video"]
    groups = rec["groups"]
    n = len(v["sizes"])
    ts, delta = v["timescale"], v["delta"]
    dur = n * delta
    # The edit covers every picture shown: after a cut inside a group the last kept picture in
    # decode order may be shown after pictures that were cut (a P-picture after missing B-pictures).
    shown = max(i * delta + c for i, c in enumerate(v["cts"])) + delta - v["elst"] if n else 0
    tracks = []

    def trak(track_id, timescale, media_dur, handler, name, mhd, entry, tables, extra=b"", **tkhd_args):
        stbl = box(b"stbl", full_box(b"stsd", 0, 0, u32(1), entry), *tables)
        return box(b"trak", tkhd(track_id, dur, **tkhd_args), extra,
                   box(b"mdia", mdhd(timescale, media_dur), hdlr(handler, name), box(b"minf", mhd, dinf(), stbl)),
                   usmt())

    # video
    sync = v["sync"]
    stss = b"" if sync is None else full_box(b"stss", 0, 0, u32(len(sync)), *(u32(i + 1) for i in sorted(sync)))
    elst = box(b"edts", full_box(b"elst", 0, 0, u32(1), u32(shown), i32(v["elst"]), u16(1), u16(0)))
    tracks.append(trak(1, ts, dur, b"vide", "Video Media Handler", full_box(b"vmhd", 0, 1, bytes(8)), v["entry"],
                       [stts([delta] * n), stts(v["cts"], b"ctts"), stss, stsc([g["frames"] for g in groups]), stsz(v["sizes"]),
                        chunk_offsets([media_base + g["video"] for g in groups], co64)],
                       elst, width=v["width"], height=v["height"]))
    # audio
    for k, (entry, bpf) in enumerate(rec["audio"]):
        chunks = [g["audio"][k] for g in groups if g["audio"][k][1] > 0]
        total = sum(length for _, length in chunks) // bpf
        tracks.append(trak(2 + k, 48000, total, b"soun", "Sound Media Handler", full_box(b"smhd", 0, 0, u32(0)), entry,
                           [full_box(b"stts", 0, 0, u32(1 if total else 0), *([u32(total), u32(1)] if total else [])),
                            stsc([length // bpf for _, length in chunks]), stsz(fixed=bpf, count=total),
                            chunk_offsets([media_base + off for off, _ in chunks], co64)], audio=True))
    # timecode: a single 4-byte sample at the very start of the media data (some bodies)
    tid = 2 + len(rec["audio"])
    if rec.get("tmcd") is not None:
        entry = box(b"tmcd", bytes(6), u16(1), u32(0), u32(0), u32(ts), u32(delta),
                    u8((ts + delta - 1) // delta), u8(0))
        tracks.append(trak(tid, ts, dur, b"tmcd", "Time Code Media Handler", full_box(b"nmhd", 0, 0), entry,
                           [full_box(b"stts", 0, 0, u32(1), u32(1), u32(dur)), stsc([1]), stsz(fixed=4, count=1),
                            chunk_offsets([media_base + rec["tmcd"]], co64)], box(b"tref", box(b"tmcd", u32(1)))))
        tid += 1
    # timed metadata
    rid = tid
    tracks.append(trak(rid, ts, dur, b"meta", "Timed Metadata Media Handler", full_box(b"nmhd", 0, 0), RTMD_ENTRY,
                       [stts([delta] * n), stsc([g["frames"] for g in groups]), stsz(fixed=rec["rtmd_size"], count=n),
                        chunk_offsets([media_base + g["rtmd"] for g in groups], co64)], box(b"tref", box(b"cdsc", u32(1)))))
    mvhd = full_box(b"mvhd", 0, 0, u32(0), u32(0), u32(ts), u32(dur), u32(0x10000), u16(0x100), bytes(10),
                    MATRIX, bytes(24), u32(rid + 1))
    return box(b"moov", mvhd, *tracks, usmt())


def layout_groups(group_frames, video_sizes, audio_bytes, rtmd_size, lead=0):
    """Offsets (relative to the media data start) of every chunk of every group.

    audio_bytes: per group, a list with the chunk length of each audio track.
    Returns (groups, media_length); each group is a dict with start, end, first (frame index),
    frames, rtmd, video, frame_offsets, audio [(offset, length)...].
    """
    groups, pos, first = [], lead, 0
    for g, nf in enumerate(group_frames):
        grp = {"start": pos, "first": first, "frames": nf, "rtmd": pos, "video": pos + nf * rtmd_size,
               "frame_offsets": [], "audio": []}
        pos = grp["video"]
        for i in range(first, first + nf):
            grp["frame_offsets"].append(pos)
            pos += video_sizes[i]
        for length in audio_bytes[g]:
            grp["audio"].append((pos, length))
            pos += length
        grp["end"] = pos
        groups.append(grp)
        first += nf
    return groups, pos

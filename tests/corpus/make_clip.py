#!/usr/bin/env python3
"""Fixture generator for the repair engine: camera-like recordings, interrupted RSVs, expectations.

What it imitates (see the format notes on camera recordings):
- XAVC S bodies: H.264 High 8-bit (avc1), access unit delimiter first in every sample, SEI
  (buffering period / picture timing) in every access unit, several slices per picture,
  B-pictures (IBBP, composition offsets alternating) or the older I/P-only 50p shape (offsets all
  equal, 4 slices per picture), and an intra-only variant.
- XAVC HS bodies: H.265 Main10 (hvc1) with the same structure, GOPs of 12 to 48 pictures.
- The newer long-GOP 50p H.264 body: groups of 24 frames with a GOP of 48 (sync samples 1 and 49 of
  each 96), so every second group begins with a P or B picture; and its two PPS, ids 2 and 3, with
  other matrices and chroma QP offsets, slices naming either (pps_ids.py).
- Audio as one `twos` track (16-bit big-endian stereo, 48 kHz) or four mono `ipcm` tracks
  (24-bit big-endian), one chunk per track per group.
- Timed metadata `rtmd` samples of 1,024 (older bodies) or 19,456 bytes (bodies with gyro data),
  one per frame, header `00 1C 01 00 ... F0 01 00 10`, a tagged set keyed `06 0E 2B 34`, zeros.
- Media data starting at 0x40000, 0x20000 (padded bodies) or 192 (older bodies, no padding).
- The RSV: the media data alone from offset 0, cut inside its last group; optionally preceded by a
  reference-style header whose mdat size is a placeholder (size 1, 64-bit 0) or 0.

Streams are encoded at generation time with the ffmpeg CLI (lavfi testsrc2/testsrc and sine
tones at distinct frequencies); the encoder's own MP4 output is parsed for the samples and laid
out again in the camera's layout. Everything is written into one output directory:
  healthy.mp4     the finished recording (what the camera would have written)
  reference.mp4   another recording with the same settings and different content
  <variant>.rsv   the interrupted recordings (one per cut / damage variant)
  expect.json     what a perfect repair of each variant must contain

The rule a perfect repair is held to (cut variants):
- video: every video sample that lies wholly before the cut, in decode order; nothing else.
  A frame cut anywhere (mid NAL, or between two slice NAL units of one picture) is not kept.
  Their decoded pictures, bit for bit, each at its time (with B-pictures not a presentation prefix).
- rtmd: one sample per kept video frame (the group's first frames' samples).
- audio: per track, at least the bytes of every audio chunk that lies wholly before the cut
  ("audio_min"), at most the whole sample frames present before the cut ("audio_max"); the
  recovered bytes must be a prefix of the healthy track's bytes.
A cut inside the first group's rtmd run leaves no complete frame: the repair must fail
(non-zero exit, no output), as for any RSV with nothing to recover.
Damage variants (zeroed region, random region, duplicated group, removed group) list the groups
whose bytes are untouched; those must all be recovered, bit-identical and in order. Damage inside
one group (touched_variants) states exactly what must be kept and that every kept frame and sound
sample keeps the time it was recorded at.

Usage:
  make_clip.py --list
  make_clip.py --case NAME --out DIR
"""

import argparse
import io
import json
import os
import random
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import camera  # noqa: E402
import mp4box  # noqa: E402
import noref_cases  # noqa: E402
from encoding import (audio_samples_per_group, decoy_audio, encode_audio, encode_video, group_starts,  # noqa: E402,F401
                      key_frames, nal_units, read_encoded, run, write)

# ---------------------------------------------------------------- the cases
# cuts: (name, kind, args...). kinds:
#   boundary g            cut exactly where group g starts (groups before it complete)
#   rtmd g i b            inside rtmd sample i of group g, b bytes into it
#   frame g i             inside video frame i of group g, in the middle of a NAL unit
#   slice g i             inside frame i of group g, exactly before its last slice NAL unit
#   audio g t f           inside audio chunk of track t of group g, at fraction f of it
# header: None, "placeholder" or "zero" (reference-style header before the media data)


def case(codec, rate, groups, slices, cuts, **more):
    """A case with the common settings (320x180, B-pictures, one twos track, rtmd 1,024, data at 0x40000)."""
    return dict(dict(codec=codec, rate=rate, groups=groups, slices=slices, cuts=cuts, size="320x180", bframes=2,
                     audio="twos", rtmd=1024, data_at=0x40000), **more)


CASES = {
    "avc-25p-twos-r1024": case(
        "h264", (25, 1), [12] * 8, 4, [("boundary", "boundary", 7), ("in-rtmd", "rtmd", 7, 3, 500),
                                       ("in-frame", "frame", 7, 5), ("in-audio", "audio", 6, 0, 0.5)], damage=True),
    "avc-2997p-twos-r19456-at192": case(
        "h264", (30000, 1001), [15] * 4, 3, [("in-rtmd-header", "rtmd", 3, 1, 6), ("at-slice", "slice", 2, 7),
                                             ("hdr-placeholder-in-audio", "audio", 2, 0, 0.3, "placeholder"),
                                             ("hdr-zero-boundary", "boundary", 3, "zero")], rtmd=19456, data_at=192),
    "avc-50p-ipcm4-ip-only": case(
        "h264", (50, 1), [24] * 3, 4, [("in-audio-track3", "audio", 1, 2, 0.5), ("in-frame", "frame", 2, 10),
                                       ("boundary", "boundary", 2), ("first-group-in-frame", "frame", 0, 5)],
        bframes=0, audio="ipcm4", data_at=0x20000),
    "avc-23976p-intra-twos-r19456": case(
        "h264", (24000, 1001), [12] * 4, 2, [("in-frame", "frame", 3, 4), ("in-rtmd", "rtmd", 3, 11, 9000)],
        bframes=0, intra=True, no_stss=True, rtmd=19456),
    "avc-5994p-twos-varied-groups-co64": case(
        "h264", (60000, 1001), [30, 30, 15, 30, 25], 4, [("boundary", "boundary", 3),
                                                         ("in-frame-short-group", "frame", 2, 14),
                                                         ("in-audio", "audio", 4, 0, 0.9)],
        co64=True, xml_meta=True, decoys=True),
    "hevc-25p-twos-r19456": case(
        "hevc", (25, 1), [12] * 8, 2, [("boundary", "boundary", 7), ("in-rtmd", "rtmd", 7, 0, 100),
                                       ("in-frame", "frame", 7, 6), ("in-audio", "audio", 6, 0, 0.5)],
        rtmd=19456, damage=True),
    "hevc-50p-gop48-ipcm4": case(
        "hevc", (50, 1), [48] * 3, 2, [("in-audio-track1", "audio", 1, 0, 0.25), ("in-frame", "frame", 2, 30),
                                       ("hdr-placeholder-boundary", "boundary", 2, "placeholder")],
        audio="ipcm4", rtmd=19456, data_at=0x20000),
    "hevc-2997p-twos-r1024-at192": case(
        "hevc", (30000, 1001), [15] * 4, 3, [("at-slice", "slice", 3, 4), ("in-rtmd", "rtmd", 3, 2, 30),
                                             ("hdr-zero-in-frame", "frame", 2, 3, "zero")], data_at=192),
    "hevc-5994p-twos": case(
        "hevc", (60000, 1001), [30] * 3, 2, [("in-frame", "frame", 2, 20), ("in-audio", "audio", 1, 0, 0.75),
                                             ("first-group-in-audio", "audio", 0, 0, 0.5),
                                             ("first-group-in-rtmd", "rtmd", 0, 7, 12)], ftyp24=True, xml_meta=True),
    "hevc-23976p-intra-ipcm4": case(
        "hevc", (24000, 1001), [12] * 3, 2, [("in-frame", "frame", 2, 5), ("boundary", "boundary", 2)],
        bframes=0, intra=True, audio="ipcm4", ref_groups=[12, 12]),
    # A short-GOP body: groups of 24 pictures holding two GOPs of 12 (damage rows only).
    "avc-50p-gop12-twos": case("h264", (50, 1), [24] * 4, 4, [], gop=12, damage="gop"),
    # The newer long-GOP 50p body: groups of 24 frames, a GOP of 48 with B-pictures, so every second
    # group begins inside a GOP with a P or B picture (cuts at and inside such groups).
    "avc-50p-longgop-twos-r19456": case(
        "h264", (50, 1), [24] * 8, 4, [("boundary-mid-gop", "boundary", 3), ("in-frame-mid-gop", "frame", 3, 7),
                                       ("at-slice-first-of-group", "slice", 1, 0), ("in-audio", "audio", 2, 0, 0.5)],
        gop=48, rtmd=19456, damage=True),
    # The same body's two PPS (ids 2 and 3, other matrices and chroma QP offsets): reference pictures name
    # one, the others the other.
    "avc-50p-two-pps-cqm-twos": case(
        "h264", (50, 1), [24] * 4, 4, [("in-frame", "frame", 3, 9), ("at-slice", "slice", 2, 4)], gop=48,
        x264=":cqm4=%s:cqm8=%s" % (noref_cases.CQM4, noref_cases.CQM8), two_pps=True),
    # A body with a timecode track: one 4-byte tmcd sample before the first group.
    "avc-25p-tmcd-twos": case(
        "h264", (25, 1), [12] * 3, 2, [("in-frame", "frame", 2, 4), ("boundary", "boundary", 2)],
        tmcd=True, decoys=True),
}

# Repairs without a reference clip (run_corpus.py --noref).
CASES.update(noref_cases.CASES)

AUDIO_TONES = {"healthy": (440, 660, 330, 550, 770, 990), "reference": (523, 784, 262, 392, 1047, 1319)}


class Recording:
    """One camera recording: samples, tables, groups and the media data bytes."""

    def __init__(self, case, role, workdir):
        hevc = case["codec"] == "hevc"
        groups = case["groups"] if role == "healthy" else case.get("ref_groups", case["groups"][:3])
        tmp = os.path.join(workdir, role + "-encoded.mp4")
        # A recording that starts with a CRA picture: the encoder starts with an IDR one, so its first GOP
        # is encoded and left out.
        lead = groups[:1] if case.get("open_gop") else []
        ts, delta = encode_video(case, lead + groups, "testsrc2" if role == "healthy" else "testsrc", tmp)
        enc, samples, key = read_encoded(tmp, hevc, case.get("inband", False), case.get("camera_sei", False),
                                           case.get("two_pps", False))
        os.unlink(tmp)
        skip = sum(lead)
        samples, key, enc.cts = samples[skip:], {k - skip for k in key if k >= skip}, enc.cts[skip:]
        if len(samples) != sum(groups) or sorted(key) != key_frames(case, groups) and not case.get("intra"):
            raise RuntimeError("encoder did not start every GOP, and only those, with a key frame")
        if case.get("intra") and len(key) != len(samples):
            raise RuntimeError("intra-only encode has non-key frames")
        # Composition offsets: the encoder's, shifted so the first picture is delayed by exactly
        # one frame where the encoder's delay is less (I/P-only and intra-only bodies).
        shift = max(0, delta - enc.cts[0])
        cts = [c + shift for c in enc.cts]
        apg = audio_samples_per_group(groups, case["rate"])
        pcm, bpf = encode_audio(case["audio"], sum(apg), AUDIO_TONES[role])
        audio_chunks = [[a * bpf for _ in pcm] for a in apg]
        if case.get("decoys"):
            pcm = [decoy_audio(t, [a * bpf for a in apg]) for t in pcm]
        lead = 4 if case.get("tmcd") else 0
        self.groups, media_len = camera.layout_groups(groups, [len(s) for s in samples], audio_chunks,
                                                      case["rtmd"], lead)
        w, h = self.size = tuple(int(x) for x in case["size"].split("x"))
        self.case = case
        self.samples = samples
        self.pcm = pcm
        self.bpf = bpf
        self.rec = {
            "video": {"entry": enc.sample_entry, "sizes": [len(s) for s in samples], "cts": cts,
                      "sync": None if case.get("no_stss") else key, "timescale": ts, "delta": delta,
                      "elst": cts[0], "width": w, "height": h},
            "audio": [(camera.twos_entry() if case["audio"] == "twos" else camera.ipcm_entry(), bpf)
                      for _ in pcm],
            "rtmd_size": case["rtmd"],
            "groups": self.groups,
            "tmcd": 0 if lead else None,
        }
        self.media_len = media_len

    def rtmd(self, frame):
        num, den = self.case["rate"]
        return camera.rtmd_sample(self.case["rtmd"], frame, num, den)

    def write_group(self, out, g, frame_base=None):
        """Writes group g's chunks; frame_base renumbers its rtmd counters (the benchmark's repeated groups)."""
        grp = self.groups[g]
        first = grp["first"] if frame_base is None else frame_base
        for i in range(grp["frames"]):
            out.write(self.rtmd(first + i))
        for i in range(grp["first"], grp["first"] + grp["frames"]):
            out.write(self.samples[i])
        apos = sum(x["audio"][0][1] for x in self.groups[:g]) if self.pcm else 0
        for k, track in enumerate(self.pcm):
            length = grp["audio"][k][1]
            out.write(track[apos:apos + length])

    def media(self):
        buf = io.BytesIO()
        if self.case.get("tmcd"):
            buf.write(struct.pack(">I", 36000 * self.case["rate"][0] // self.case["rate"][1]))
        for g in range(len(self.groups)):
            self.write_group(buf, g)
        data = buf.getvalue()
        assert len(data) == self.media_len
        return data

    def profile(self):
        return self.size + tuple(self.case["rate"]) + (50000,)

    def write_file(self, path, media):
        data_at = self.case["data_at"]
        head = camera.file_header(data_at, self.profile(), "large", len(media), self.case.get("ftyp24", False))
        moov = camera.build_moov(self.rec, data_at, self.case.get("co64", False))
        with open(path, "wb") as f:
            f.write(head)
            f.write(media)
            f.write(moov)
            if self.case.get("xml_meta"):
                f.write(camera.nrtm_meta("CORPUS-" + self.case["codec"].upper()))

    def codec_config(self):
        return mp4box.avcc_or_hvcc(self.rec["video"]["entry"])


def write_reference(case, path):
    """A finished recording of `case` with the reference's content at path (encoded beside it)."""
    rec = Recording(case, "reference", os.path.dirname(path))
    rec.write_file(path, rec.media())
    return path


# ---------------------------------------------------------------- cuts and expectations

def cut_offset(rec, kind, args):
    g = rec.groups[args[0]]
    if kind == "boundary":
        return g["start"]
    if kind == "rtmd":
        return g["rtmd"] + args[1] * rec.case["rtmd"] + args[2]
    if kind in ("frame", "slice"):
        i = g["first"] + args[1]
        start = g["frame_offsets"][args[1]]
        nals = nal_units(rec.samples[i])
        if kind == "slice":
            if len(nals) < 3:
                raise ValueError("frame has a single slice")
            return start + len(rec.samples[i]) - len(nals[-1])
        # the middle of the (first) largest NAL unit, never on a NAL boundary
        k = max(range(len(nals)), key=lambda k: len(nals[k]))
        return start + sum(len(n) for n in nals[:k]) + len(nals[k]) // 2
    if kind == "audio":
        off, length = g["audio"][args[1]]
        return off + int(length * args[2])
    raise ValueError(kind)


def cut_expectation(rec, cut):
    frames = []
    for g in rec.groups:
        for k, off in enumerate(g["frame_offsets"]):
            if off + len(rec.samples[g["first"] + k]) <= cut:
                frames.append(g["first"] + k)
    n = len(frames)
    if frames != list(range(n)):
        raise AssertionError("complete frames are not a prefix")
    amin = [0] * len(rec.pcm)
    amax = [0] * len(rec.pcm)
    for g in rec.groups:
        for k, (off, length) in enumerate(g["audio"]):
            if off + length <= cut:
                amin[k] += length
                amax[k] += length
            elif off < cut:
                amax[k] += (cut - off) // rec.bpf * rec.bpf
    return {"frames": n, "rtmd": n, "audio_min": amin, "audio_max": amax}


def damage_variants(rec, media, rng):
    """(name, bytes, intact group list, damaged ranges) for the resynchronisation cases."""
    gs = rec.groups
    last = len(gs) - 1
    tail_cut = gs[last]["frame_offsets"][len(gs[last]["frame_offsets"]) // 2] + 3
    out = []

    def intact(lo, hi):
        return [i for i, g in enumerate(gs) if g["end"] <= lo or g["start"] >= hi]

    # zeros from inside group 2's audio over all of group 3 into group 4's rtmd (the camera's
    # 1 MB region scaled to these small groups)
    lo = gs[2]["audio"][0][0] + 100
    hi = gs[4]["start"] + rec.case["rtmd"] // 2
    d = bytearray(media[:tail_cut])
    d[lo:hi] = bytes(hi - lo)
    out.append(("zeroed-region", bytes(d), [g for g in intact(lo, hi) if g != last], [[lo, hi - lo]]))
    # 64 KB of random bytes from inside group 2's video (less if the groups are smaller)
    size = min(65536, gs[3]["end"] - gs[2]["video"] - 200)
    lo = gs[2]["video"] + 50
    d = bytearray(media[:tail_cut])
    d[lo:lo + size] = bytes(rng.getrandbits(8) for _ in range(size))
    out.append(("random-64k", bytes(d), [g for g in intact(lo, lo + size) if g != last], [[lo, size]]))
    # group 3 written twice (its copy decodes only if it begins a GOP)
    d = media[:gs[4]["start"]] + media[gs[3]["start"]:tail_cut]
    sync = rec.rec["video"]["sync"]
    again = [3] if sync is None or gs[3]["first"] in sync else []
    out.append(("duplicated-group", d, [0, 1, 2, 3] + again + list(range(4, last)), []))
    # group 3 missing
    d = media[:gs[3]["start"]] + media[gs[4]["start"]:tail_cut]
    out.append(("removed-group", d, [0, 1, 2] + list(range(4, last)), []))
    return out


def touched_variants(rec, media, rng):
    """Damage of each kind (zeros, random bytes, a hole, a damaged length field) inside one group's
    pictures (group 3), sound (group 4) and rtmd run (group 5), each with what the repair must keep:
    "keep" the healthy frames in decode order (the pictures before the damage in a touched group;
    groups are GOPs here, so none after it), "audio_lost" the groups whose sound must be silence
    of its exact length, "audio_any" the groups whose sound is damaged in place. Everything keeps
    its time: frames their decode times, sound its byte position."""
    gs = rec.groups
    last = len(gs) - 1
    tail_cut = gs[last]["frame_offsets"][len(gs[last]["frame_offsets"]) // 2] + 3
    base = media[:tail_cut]
    every = list(range(cut_expectation(rec, tail_cut)["frames"]))

    def without(g, keep):
        first = gs[g]["first"]
        return [f for f in every if not first + keep <= f < first + gs[g]["frames"]]

    def damaged(lo, hi, random_bytes):
        d = bytearray(base)
        d[lo:hi] = bytes(rng.getrandbits(8) for _ in range(hi - lo)) if random_bytes else bytes(hi - lo)
        return bytes(d)

    def exp(keep, lost=(), any_=(), skipped=True, could=None):
        return {"keep": keep, "could": len(could or keep), "audio_lost": list(lost), "audio_any": list(any_),
                "damaged": [[0, 0]] if skipped else []}

    out = []
    g = gs[3]
    pic = lambda i: g["frame_offsets"][i]  # noqa: E731
    lo, hi = pic(4), pic(8) + len(rec.samples[g["first"] + 8]) // 2
    out.append(("zeros-in-pictures", damaged(lo, hi, False), exp(without(3, 4))))
    # Random bytes right at a picture's end: its last slice's length might run over a hole into
    # what follows, so that picture is not known to be whole.
    out.append(("random-in-pictures", damaged(lo, hi, True), exp(without(3, 3), could=without(3, 4))))
    at = cut_offset(rec, "frame", [3, 5])
    out.append(("hole-in-pictures", base[:at] + base[at + 2000:], exp(without(3, 5))))
    nals = nal_units(rec.samples[g["first"] + 5])
    d = bytearray(base)
    d[pic(5) + sum(len(n) for n in nals[:-1])] = 0x7F
    out.append(("length-in-pictures", bytes(d), exp(without(3, 5))))
    a0 = gs[4]["audio"][0][0]
    lo, hi = a0 + 1000, a0 + 11240
    out.append(("zeros-in-audio", damaged(lo, hi, False), exp(every, any_=[4], skipped=False)))
    out.append(("random-in-audio", damaged(lo, hi, True), exp(every, any_=[4], skipped=False)))
    out.append(("hole-in-audio", base[:lo] + base[hi:], exp(every, lost=[4])))
    r0, size = gs[5]["rtmd"], rec.case["rtmd"]
    out.append(("zeros-in-rtmd", damaged(r0 + 5 * size, r0 + 5 * size + 12, False), exp(every, skipped=False)))
    out.append(("random-in-rtmd", damaged(r0 + 3 * size, r0 + 7 * size, True), exp(every, skipped=False)))
    d = bytearray(base)
    d[r0 + 2 * size + 4:r0 + 2 * size + 8] = b"\xff" * 4
    out.append(("length-in-rtmd", bytes(d), exp(every, skipped=False)))
    if rec.case.get("gop", 0) > g["frames"]:  # group 1 begins inside a GOP: pictures from group 2's key one
        z0, z1 = gs[0]["frame_offsets"][2], gs[0]["frame_offsets"][8]
        out.append(("zeros-in-first-group", damaged(z0, z1, False), dict(exp(every[gs[2]["first"]:]), sound_from=1)))
    return out


def key_after_damage_variants(rec, media, rng):
    """Damage inside group 1's first GOP (groups of two GOPs): the pictures before it and the second
    GOP, from its key picture after the damage, must be kept in their place; and damage in group 0,
    whose time the result must start after."""
    g, g0, last = rec.groups[1], rec.groups[0], rec.groups[-1]
    base = media[:last["frame_offsets"][len(last["frame_offsets"]) // 2] + 3]
    every = list(range(cut_expectation(rec, len(base))["frames"]))
    keep = lambda n: [f for f in every if not g["first"] + n <= f < g["first"] + rec.case["gop"]]  # noqa: E731
    lo, hi = g["frame_offsets"][4], g["frame_offsets"][8] + len(rec.samples[g["first"] + 8]) // 2
    at, z0, z1 = cut_offset(rec, "frame", [1, 5]), g0["frame_offsets"][2], g0["frame_offsets"][8]
    rows = [("zeros-in-first-gop", base[:lo] + bytes(hi - lo) + base[hi:], keep(4), keep(4)),
            ("random-in-first-gop", base[:lo] + bytes(rng.getrandbits(8) for _ in range(hi - lo)) + base[hi:],
             keep(3), keep(4)),
            ("hole-in-first-gop", base[:at] + base[at + 2000:], keep(5), keep(5)),
            ("zeros-in-first-group", base[:z0] + bytes(z1 - z0) + base[z1:], every[g0["frames"]:], every[g0["frames"]:])]
    return [(name, data, {"keep": k, "could": len(could), "audio_lost": [], "audio_any": [], "damaged": [[0, 0]]})
            for name, data, k, could in rows]


def generate(name, out, with_damage=True):
    case = CASES[name]
    os.makedirs(out, exist_ok=True)
    healthy = Recording(case, "healthy", out)
    reference = Recording(case, "reference", out)
    if healthy.codec_config() != reference.codec_config():
        raise RuntimeError("reference and healthy streams have different parameter sets")
    media = healthy.media()
    healthy.write_file(os.path.join(out, "healthy.mp4"), media)
    reference.write_file(os.path.join(out, "reference.mp4"), reference.media())
    v = healthy.rec["video"]
    exp = {
        "case": name, "codec": case["codec"], "rate": list(case["rate"]), "size": case["size"],
        "audio": case["audio"], "audio_tracks": len(healthy.pcm), "tmcd": bool(case.get("tmcd")), "bytes_per_frame": healthy.bpf,
        "rtmd_size": case["rtmd"], "timescale": v["timescale"], "frame_delta": v["delta"],
        "total_frames": len(healthy.samples), "healthy": "healthy.mp4", "reference": "reference.mp4",
        "groups": [{"start": g["start"], "end": g["end"], "first": g["first"], "frames": g["frames"],
                    "audio": g["audio"]} for g in healthy.groups],
        "variants": [],
    }
    for cut in case["cuts"]:
        vname, kind = cut[0], cut[1]
        args = [a for a in cut[2:] if not isinstance(a, str)]
        style = next((a for a in cut[2:] if isinstance(a, str)), None)
        off = cut_offset(healthy, kind, args)
        header = (camera.file_header(case["data_at"], healthy.profile(), style, 0, case.get("ftyp24", False))
                  if style else b"")
        fname = vname + ".rsv"
        write(os.path.join(out, fname), header + media[:off])
        e = cut_expectation(healthy, off)
        exp["variants"].append({"name": vname, "file": fname, "kind": "cut", "cut_kind": kind,
                                "header_len": len(header), "cut": off, "expect": e})
    if with_damage and case.get("damage"):
        rng = random.Random(name)
        gop = case["damage"] == "gop"
        for vname, data, intact, damaged in [] if gop else damage_variants(healthy, media, rng):
            fname = vname + ".rsv"
            write(os.path.join(out, fname), data)
            exp["variants"].append({"name": vname, "file": fname, "kind": "damage",
                                    "intact_groups": intact, "damaged": damaged})
        for vname, data, keep in (key_after_damage_variants if gop else touched_variants)(healthy, media, rng):
            write(os.path.join(out, vname + ".rsv"), data)
            exp["variants"].append(dict(keep, name=vname, file=vname + ".rsv", kind="damage", intact_groups=[]))
    with open(os.path.join(out, "expect.json"), "w") as f:
        json.dump(exp, f, indent=1)
    return exp


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--case", help="case name (see --list)")
    ap.add_argument("--out", help="output directory")
    ap.add_argument("--list", action="store_true", help="list the cases")
    ap.add_argument("--no-damage", action="store_true", help="skip the damage variants")
    a = ap.parse_args()
    if a.list:
        for n in CASES:
            print(n)
        return 0
    if not a.case or not a.out or a.case not in CASES:
        ap.error("--case NAME (one of --list) and --out DIR are required")
    exp = generate(a.case, a.out, not a.no_damage)
    print("%s: %d frames, %d variants in %s" % (a.case, exp["total_frames"], len(exp["variants"]), a.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())

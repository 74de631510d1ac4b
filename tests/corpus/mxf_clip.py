#!/usr/bin/env python3
"""MXF-family test material: a professional body's OP1a recording and RSVs cut from it.

Imitates an XAVC Intra MXF from a cinema-line body: SMPTE ST 377-1 OP1a, frame-wrapped, one
H.264 High 4:2:2 Intra 10-bit picture per edit unit (every picture IDR, SPS/PPS in band), several
mono 24-bit PCM sound elements per edit unit, a start timecode in the header metadata. The ffmpeg
CLI writes it; what a real body's file has that this imitation lacks:
  - the body's own descriptors and dark metadata (Sony/ARRI private sets, XML), the AVC
    sub-descriptor with level/profile details, and essence-container labels for XAVC;
  - body partitions every few seconds with index table segments, an open incomplete header
    partition (ffmpeg writes a closed complete one, so only the footer is missing in our RSVs);
  - multi-slice 3840x2160/4096x2160 pictures of several hundred KB, filler NAL units up to the
    class's constant picture size, and the SMPTE 331 system item with real timecodes;
  - sound as AES3 8-channel or more tracks at other counts, and data items (ANC).
An RSV is the file written so far: the intact file cut at an offset. Without header metadata it
starts at the first body partition pack (everything before it removed).

`parse(data)` lists the KLV packets and the content packages (picture + one element per sound
track) independently of the engine, so the driver can count the complete frames before a cut.
"""

import subprocess

PICTURE = 0x15
SOUND = 0x16
BODY_PARTITION = bytes.fromhex("060e2b34020501010d01020101030400")[:14]


def encode(path, seconds=2, audio_tracks=4, size="320x180", rate=25, bitrate=None, timecode="10:00:00:00"):
    args = ["ffmpeg", "-nostdin", "-v", "error", "-y",
            "-f", "lavfi", "-i", "testsrc2=size=%s:rate=%s" % (size, rate)]
    for i in range(audio_tracks):
        args += ["-f", "lavfi", "-i", "sine=frequency=%d:sample_rate=48000" % (220 + 110 * i)]
    args += ["-t", str(seconds), "-map", "0:v"]
    for i in range(audio_tracks):
        args += ["-map", "%d:a" % (i + 1)]
    args += ["-c:v", "libx264", "-x264-params", "keyint=1", "-pix_fmt", "yuv422p10le",
             "-profile:v", "high422", "-c:a", "pcm_s24le", "-ac", "1", "-timecode", timecode]
    if bitrate:
        args += ["-b:v", bitrate]
    subprocess.run(args + ["-f", "mxf", path], check=True)


def klvs(data):
    """(offset, key, value offset, length) of every whole KLV packet in order."""
    out, p = [], 0
    while p + 17 <= len(data):
        key = data[p:p + 16]
        first = data[p + 16]
        if first < 0x80:
            hl, ln = 17, first
        else:
            n = first & 0x7F
            hl, ln = 17 + n, int.from_bytes(data[p + 17:p + 17 + n], "big")
        if p + hl + ln > len(data):
            break
        out.append((p, key, p + hl, ln))
        p += hl + ln
    return out


def packages(data):
    """Content packages as dicts: start (picture key), end (last sound value end), picture
    (value offset, length), sounds [(value offset, length)] by track number order, keys (the
    key offset of each of those elements: "picture" and the sound keys), system (key offset,
    value offset, length of the system metadata pack before the picture, or None)."""
    pk, cur, system = [], None, None
    for off, key, voff, ln in klvs(data):
        if key[8:12] != b"\x0d\x01\x03\x01":
            continue
        if key[12] == 0x04 and key[14] == 0x01:
            system = (off, voff, ln)
        if key[4] != 0x01:
            continue
        if key[12] == PICTURE:
            if cur:
                pk.append(cur)
            cur = {"start": off, "end": voff + ln, "picture": (voff, ln), "sounds": {}, "keys": {"picture": off},
                   "system": system}
            system = None
        elif key[12] == SOUND and cur is not None:
            cur["sounds"][key[12:16]] = (voff, ln)
            cur["keys"][key[12:16]] = off
            cur["end"] = voff + ln
    if cur:
        pk.append(cur)
    return pk


def body_start(data):
    return data.find(BODY_PARTITION)

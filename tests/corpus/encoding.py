"""Encoding for the corpus: camera-like video streams and PCM from the ffmpeg CLI.

Streams are encoded with libx264/libx265 from lavfi test pictures, read back from the encoder's
MP4 and turned into the access units a camera writes (delimiter first, optionally parameter sets
in every key frame, no encoder-options SEI); audio is raw big-endian PCM per track.

Contract: pure functions apart from the ffmpeg runs and the files they are told to write; a failed
ffmpeg run raises RuntimeError with its last output.
"""

import struct
import subprocess

import mp4box
import pps_ids
from mp4box import nal_units, parameter_sets

def run(cmd):
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (cmd[0], p.stderr.decode(errors="replace")[-2000:]))
    return p.stdout


def group_starts(groups):
    return [sum(groups[:i]) for i in range(len(groups))]


def key_frames(case, groups):
    """Where the GOPs start: at every group, or every `gop` frames where groups are a fixed run of
    frames (several short GOPs per group, or a long GOP over several groups: then a group may
    begin with a P or B picture)."""
    gop = case.get("gop")
    return list(range(0, sum(groups), gop)) if gop else group_starts(groups)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def encode_video(case, groups, pattern, path):
    num, den = case["rate"]
    n = sum(groups)
    timescale, delta = (num * 1000, 1000) if den == 1 else (num, den)
    src = "%s=s=%s:r=%d/%d" % (pattern, case["size"], num, den)
    keys = "+".join("eq(n,%d)" % s for s in key_frames(case, groups))
    intra = case.get("intra", False)
    bf = 0 if intra else case["bframes"]
    cmd = ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", src, "-frames:v", str(n)]
    if "vf" in case:  # picture content: a dark scene, a bright sky
        cmd += ["-vf", case["vf"]]
    rate_ctl = ("crf=%d" % case["crf"]) if "crf" in case else "vbv-maxrate=1500:vbv-bufsize=1500"
    if case["codec"] == "h264":
        params = "aud=1:slices=%d:b-pyramid=none:scenecut=0:keyint=%d:min-keyint=1:bframes=%d:%s" % (
            case["slices"], 1 if intra else 1000, bf, rate_ctl)
        if "crf" not in case:
            params += ":nal-hrd=vbr"
        params += case.get("x264", "")
        cmd += ["-c:v", "libx264", "-profile:v", case.get("profile", "high"), "-pix_fmt",
                case.get("pix_fmt", "yuv420p"), "-x264-params", params]
    else:
        params = ("aud=1:slices=%d:scenecut=0:open-gop=%d:b-pyramid=0:bframes=%d:keyint=%d:min-keyint=1:"
                  "log-level=error:%s" % (case["slices"], case.get("open_gop", 0), bf, 1 if intra else 1000,
                                          rate_ctl))
        if "crf" not in case:
            params += ":hrd=1"
        params += case.get("x265", "")
        cmd += ["-c:v", "libx265", "-pix_fmt", case.get("pix_fmt", "yuv420p10le"), "-tag:v", "hvc1",
                "-x265-params", params]
    if not intra:
        cmd += ["-force_key_frames", "expr:" + keys]
    cmd += ["-video_track_timescale", str(timescale), path]
    run(cmd)
    return timescale, delta


def camera_access_unit(sample, hevc, key, camera_sei=False):
    """The sample with its access unit delimiter first, as the camera writes it.

    The encoder, in global-header mode, emits the first picture's SEI before its delimiter
    (H.264) or no delimiter at all (H.265); the standards require the delimiter first.
    camera_sei: drop the encoder's own user-data SEI (its version and options), which a camera
    does not write; buffering period and picture timing SEI stay.
    """
    nals = nal_units(sample)
    if camera_sei:  # user data unregistered: the first payload type byte is 5
        nals = [n for n in nals if not ((n[4] >> 1) & 63 == 39 and n[6] == 5 if hevc else n[4] & 31 == 6 and n[5] == 5)]
    ntype = (lambda n: (n[4] >> 1) & 63) if hevc else (lambda n: n[4] & 31)
    aud_type = 35 if hevc else 9
    auds = [n for n in nals if ntype(n) == aud_type]
    rest = [n for n in nals if ntype(n) != aud_type]
    if not auds:
        pic = 0x10 if key else 0x50
        auds = [b"\0\0\0\x03\x46\x01" + bytes([pic])] if hevc else [b"\0\0\0\x02\x09" + bytes([pic])]
    return b"".join(auds[:1] + rest)


def with_inband(sample, sets):
    """A key frame as bodies that repeat their parameter sets write it: delimiter, SPS/PPS(/VPS),
    then the rest."""
    nals = nal_units(sample)
    return nals[0] + b"".join(struct.pack(">I", len(n)) + n for n in sets) + b"".join(nals[1:])


def read_encoded(path, hevc, inband=False, camera_sei=False, two_pps=False):
    data = open(path, "rb").read()
    tracks = mp4box.parse_movie(data)
    v = [t for t in tracks if t.handler == b"vide"][0]
    key = v.sync if v.sync is not None else set(range(len(v.sizes)))
    samples = [camera_access_unit(v.sample(data, i), hevc, i in key, camera_sei) for i in range(len(v.sizes))]
    if two_pps:
        v.sample_entry, samples = pps_ids.two_pps(v.sample_entry, samples, 0 if two_pps == "newer" else 1)
    if inband:
        sets = parameter_sets(v.sample_entry)
        samples = [with_inband(s, sets) if i in key else s for i, s in enumerate(samples)]
    return v, samples, key


def encode_audio(kind, total_samples, tones):
    """Raw big-endian PCM per track: twos = one stereo 16-bit track, ipcm4 = four mono 24-bit."""
    dur = total_samples / 48000.0 + 0.1
    if kind == "twos":
        expr = "0.4*sin(2*PI*%d*t)|0.4*sin(2*PI*%d*t)" % tones[:2]
        pcm = run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "aevalsrc=%s:s=48000:d=%.3f" % (expr, dur),
                   "-f", "s16be", "-c:a", "pcm_s16be", "-"])
        return [pcm[:total_samples * 4]], 4
    expr = "|".join("0.3*sin(2*PI*%d*t)" % f for f in tones[2:6])
    pcm = run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "aevalsrc=%s:s=48000:d=%.3f" % (expr, dur),
               "-f", "s24be", "-c:a", "pcm_s24be", "-"])
    out = []
    for c in range(4):
        t = bytearray(total_samples * 3)
        for b in range(3):
            t[b::3] = pcm[c * 3 + b::12][:total_samples]
        out.append(bytes(t))
    return out, 3


def decoy_audio(track, chunk_lengths):
    """The track with the rtmd prefix `00 1C 01 00` (but not the marker at offset 8) at the start
    and in the middle of every group's chunk: the prefix alone occurs in real audio and video."""
    t = bytearray(track)
    pos = 0
    for n in chunk_lengths:
        for at in (pos, pos + (n // 2) // 12 * 12):
            t[at:at + 4] = b"\x00\x1c\x01\x00"
        pos += n
    return bytes(t)


def audio_samples_per_group(groups, rate):
    """Audio sample frames per group, exact: cumulative floor of frames x 48000 / frame rate."""
    num, den = rate
    out, f = [], 0
    for g in groups:
        a = (f * 48000 * den) // num
        f += g
        out.append((f * 48000 * den) // num - a)
    return out

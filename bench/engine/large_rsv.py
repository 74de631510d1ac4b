#!/usr/bin/env python3
"""Large RSVs for the engine benchmark, made by the corpus generators (tests/corpus).

MP4 family (cases below): a corpus recording at 1280x720 and a high bit rate, so a gigabyte holds
a realistic number of frames; its groups repeated with their rtmd timecode and frame counters
continuing, then an interrupted group (its rtmd run and half a picture). MXF family (case mxf): a
1280x720 OP1a clip's content packages repeated, then half a picture. Writing is streamed: memory
stays one clip whatever the size. Writes DIR/large.rsv, the reference beside it and
DIR/large.json: {"rsv", "reference", "bytes", "complete_frames", "case"}.

Usage: large_rsv.py --out DIR [--case bench-avc|bench-avc-1080|bench-avc-inband|bench-hevc|mxf] [--gb 2 | --repeat-groups N]
A 2 GB bench-avc RSV (2,377 groups, 28,524 complete frames) takes about 30 s to write (loaded machine).
"""

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "corpus"))
import make_clip  # noqa: E402
import mxf_clip  # noqa: E402

_BENCH = dict(size="1280x720", rtmd=19456, crf=4)
CASES = {
    "bench-avc": make_clip.case("h264", (25, 1), [12] * 4, 4, [], **_BENCH),
    "bench-avc-inband": make_clip.case("h264", (25, 1), [12] * 4, 4, [], inband=True, **_BENCH),
    "bench-hevc": make_clip.case("hevc", (50, 1), [24] * 2, 2, [], audio="ipcm4", **_BENCH),
    # A 1080p25 long-GOP body at about 50 Mb/s, 4 slices per picture, one key picture per group of 12: the
    # grain keeps the encoder at a camera's bit rate, where the bare pattern would take a fifth of it.
    "bench-avc-1080": make_clip.case("h264", (25, 1), [12] * 4, 4, [], size="1920x1080", rtmd=19456, crf=20,
                                     vf="noise=alls=6:allf=t"),
}


def make_mp4(case, out, repeat=None, target_bytes=None):
    healthy = make_clip.Recording(case, "healthy", out)
    if not repeat:
        repeat = max(1, int(target_bytes * len(healthy.groups) / healthy.media_len))
    ref = make_clip.write_reference(case, os.path.join(out, "reference.mp4"))
    path = os.path.join(out, "large.rsv")
    frames = 0
    with open(path, "wb", buffering=8 << 20) as f:
        for r in range(repeat):
            g = r % len(healthy.groups)
            healthy.write_group(f, g, frame_base=frames)
            frames += healthy.groups[g]["frames"]
        g0 = healthy.groups[0]
        for i in range(g0["frames"]):
            f.write(healthy.rtmd(frames + i))
        f.write(healthy.samples[0][:len(healthy.samples[0]) // 2])
    return {"rsv": path, "reference": ref, "complete_frames": frames}


def make_mxf(out, target_bytes, size="1280x720", bitrate="150M"):
    ref = os.path.join(out, "reference.mxf")
    mxf_clip.encode(ref, seconds=2, size=size, bitrate=bitrate)
    with open(ref, "rb") as f:
        data = f.read()
    pk = mxf_clip.packages(data)
    body = data[pk[0]["start"]:pk[-1]["end"]]
    repeats = max(1, int(target_bytes // len(body)))
    path = os.path.join(out, "large.rsv")
    with open(path, "wb") as f:
        f.write(data[:pk[0]["start"]])
        for _ in range(repeats):
            f.write(body)
        f.write(data[pk[0]["start"]:pk[0]["picture"][0] + pk[0]["picture"][1] // 2])
    return {"rsv": path, "reference": ref, "complete_frames": repeats * len(pk)}


def make(case, out, gb=None, repeat=None):
    """Writes the RSV of `case` (about `gb` GB, or `repeat` groups) into `out`; returns large.json's content."""
    os.makedirs(out, exist_ok=True)
    info = make_mxf(out, gb * 1e9) if case == "mxf" else make_mp4(CASES[case], out, repeat, gb and gb * 1e9)
    info.update(bytes=os.path.getsize(info["rsv"]), case=case)
    with open(os.path.join(out, "large.json"), "w") as f:
        json.dump(info, f, indent=1)
    return info


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--out", required=True)
    ap.add_argument("--case", default="bench-avc", choices=sorted(CASES) + ["mxf"])
    ap.add_argument("--gb", type=float, default=2.0, help="about this many gigabytes")
    ap.add_argument("--repeat-groups", type=int, metavar="N", help="N groups instead (not mxf)")
    a = ap.parse_args()
    print(json.dumps(make(a.case, a.out, a.gb, a.repeat_groups)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

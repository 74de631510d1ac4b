#!/usr/bin/env python3
"""Seeds and references for the fuzz targets, made from the engine test corpus's generator.

  prepare_seeds.py --gen DIR --seeds DIR --refs DIR [--max-len N]

--gen caches the generated cases (make_clip.py output, one folder per case; kept between runs).
--refs receives ref-0.mp4, ref-1.mp4, ... for fuzz_rsv_walker (its byte 0 picks one, in this order).
--seeds receives one folder per target:
  fuzz_reference   every reference.mp4 / healthy.mp4 with its media data dropped (mdat header only)
                   and padding boxes shrunk: the headers and moov the parser reads, a few KB each
  fuzz_noref       byte 0 = mode (0 RSV, 1 SPS/PPS + slice, 2 NAL units for avcC/hvcC)
  fuzz_rsv_walker  byte 0 = reference index, then RSV fragments of at most --max-len bytes: the
                   first groups, the end of the file (the cut), and the bytes around each damage
  fuzz_mxf         an OP1a MXF (tests/corpus/mxf_clip.py) cut after its first packages, and the
                   same without its header metadata (from the body partition on)
  fuzz_clip_info   the fuzz_rsv_walker and fuzz_mxf seeds as they stand
Committed tiny seeds under fuzz/seeds/<target>/ are copied in as well.
"""

import argparse
import json
import os
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_CLIP = os.path.join(HERE, "..", "tests", "corpus", "make_clip.py")
sys.path.insert(0, os.path.dirname(MAKE_CLIP))
import mp4box  # noqa: E402
import mxf_clip  # noqa: E402

# Walker references, in selector order: small groups (rtmd 1,024 bytes, one audio track), one per
# codec, one with a 192-byte header layout.
WALKER_CASES = ["avc-25p-twos-r1024", "hevc-2997p-twos-r1024-at192"]
# Further layouts whose movie headers seed the reference parser (four mono audio tracks, timecode).
REFERENCE_ONLY_CASES = ["avc-50p-ipcm4-ip-only", "avc-25p-tmcd-twos"]


def generate(gen, case):
    out = os.path.join(gen, case)
    if os.path.exists(os.path.join(out, "expect.json")):
        return out
    tmp = out + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    subprocess.run([sys.executable, MAKE_CLIP, "--case", case, "--out", tmp], check=True,
                   stdout=subprocess.DEVNULL)
    os.replace(tmp, out)
    return out


def shrink_reference(data):
    """The boxes the reference parser reads, without media data or large padding."""
    out = bytearray()
    for kind, _, end, start in mp4box.iter_boxes(data):
        box = data[start:end]
        if kind == b"mdat":
            out += struct.pack(">I4sQ", 1, b"mdat", 16)
        elif kind in (b"free", b"skip") and len(box) > 64:
            out += struct.pack(">I4s", 8, kind)
        else:
            out += box
    return bytes(out)


def write(path, data):
    open(path, "wb").write(data)


def walker_seeds(case_dir, index, seeds, max_len):
    expect = json.load(open(os.path.join(case_dir, "expect.json")))
    groups = expect["groups"]
    group_len = max(g["end"] - g["start"] for g in groups)
    for v in expect["variants"]:
        rsv = open(os.path.join(case_dir, v["file"]), "rb").read()
        header = v.get("header_len", 0)
        windows = [(0, header + groups[min(1, len(groups) - 1)]["end"] + 4096), (max(0, len(rsv) - max_len), len(rsv))]
        windows += [(max(0, start - group_len // 2), start + length + group_len) for start, length in v.get("damaged", [])]
        for i, (a, b) in enumerate(windows):
            b = min(b, len(rsv), a + max_len)
            if b <= a:
                continue
            write(os.path.join(seeds, "r%d-%s-%d" % (index, v["name"], i)), bytes([index]) + rsv[a:b])


def mxf_seeds(gen, seeds):
    path = os.path.join(gen, "mxf-seed.mxf")
    if not os.path.exists(path):
        mxf_clip.encode(path + ".tmp", seconds=0.2, audio_tracks=2, size="64x64")
        os.replace(path + ".tmp", path)
    data = open(path, "rb").read()
    pk = mxf_clip.packages(data)
    cut = pk[min(2, len(pk) - 1)]["end"] + 100
    write(os.path.join(seeds, "mxf-head"), data[:cut])
    write(os.path.join(seeds, "mxf-no-header"), data[mxf_clip.body_start(data):cut])


def noref_seeds_from(case_dir, seeds, rsv_seeds, index):
    """fuzz_noref: the walker's RSV windows (mode 0), the reference's SPS/PPS with a slice of the
    RSV (mode 1) and as length-prefixed NAL units (mode 2)."""
    for name in os.listdir(rsv_seeds):
        if name.startswith("r%d-" % index):
            write(os.path.join(seeds, "n-" + name), bytes([0]) + open(os.path.join(rsv_seeds, name), "rb").read()[1:])
    ref = open(os.path.join(case_dir, "reference.mp4"), "rb").read()
    tracks = mp4box.parse_movie(ref)
    video = [t for t in tracks if t.handler == b"vide"][0]
    sets = mp4box.parameter_sets(video.sample_entry)
    hevc = video.sample_entry[4:8] in (b"hvc1", b"hev1")
    first = video.sample(ref, 0)
    nals = mp4box.nal_units(first)
    slice_nal = nals[-1][4:4 + 256]
    if not hevc and len(sets) >= 2 and len(sets[0]) < 256 and len(sets[1]) < 256:
        write(os.path.join(seeds, "n%d-sets-slice" % index),
              bytes([1, len(sets[0]), len(sets[1])]) + sets[0] + sets[1] + slice_nal)
    packed = b"".join(len(n).to_bytes(2, "big") + n for n in sets)
    write(os.path.join(seeds, "n%d-config" % index), bytes([2, 1 if hevc else 0]) + packed)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--gen", required=True)
    ap.add_argument("--seeds", required=True)
    ap.add_argument("--refs", required=True)
    ap.add_argument("--max-len", type=int, default=262144)
    args = ap.parse_args()

    seeds = {t: os.path.join(args.seeds, t) for t in ("fuzz_reference", "fuzz_rsv_walker", "fuzz_noref", "fuzz_mxf")}
    for d in [args.gen, args.refs] + list(seeds.values()):
        os.makedirs(d, exist_ok=True)
    for index, case in enumerate(WALKER_CASES + REFERENCE_ONLY_CASES):
        case_dir = generate(args.gen, case)
        for name in ("reference.mp4", "healthy.mp4"):
            data = open(os.path.join(case_dir, name), "rb").read()
            write(os.path.join(seeds["fuzz_reference"], "%s-%s" % (case, name)), shrink_reference(data))
        if case in WALKER_CASES:
            shutil.copyfile(os.path.join(case_dir, "reference.mp4"), os.path.join(args.refs, "ref-%d.mp4" % index))
            walker_seeds(case_dir, index, seeds["fuzz_rsv_walker"], args.max_len)
            noref_seeds_from(case_dir, seeds["fuzz_noref"], seeds["fuzz_rsv_walker"], index)
    mxf_seeds(args.gen, seeds["fuzz_mxf"])
    # The scan reads the start of the same files: the walker's and the MXF seeds (libFuzzer keeps
    # the first -max_len bytes of each).
    clip = os.path.join(args.seeds, "fuzz_clip_info")
    for source in (seeds["fuzz_rsv_walker"], seeds["fuzz_mxf"]):
        shutil.copytree(source, clip, dirs_exist_ok=True)
    committed = os.path.join(HERE, "seeds")
    for target in os.listdir(committed):
        shutil.copytree(os.path.join(committed, target), os.path.join(args.seeds, target), dirs_exist_ok=True)
    print("seeds: " + ", ".join("%s %d" % (t, len(os.listdir(os.path.join(args.seeds, t))))
                                for t in sorted(os.listdir(args.seeds))))


if __name__ == "__main__":
    main()

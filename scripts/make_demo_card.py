#!/usr/bin/env python3
"""Lays out a camera card with an interrupted recording, for the demo and the end-to-end tests.

The card imitates what an XAVC S body leaves after a power loss: in PRIVATE/M4ROOT/CLIP the
finished clip before it (C0001.MP4, the reference candidate) and the interrupted one
(C0002.RSV, media data only, cut inside a frame of its last group). Both are made at run time
by the project's own generator (tests/corpus/make_clip.py: ffmpeg-encoded streams laid out in
the camera's layout); nothing is downloaded. Real reference clips are large, and the scan only
offers files over 50,000,000 bytes, so the reference is extended with a trailing `free` box
whose body is a hole in a sparse file: it costs no disk space and players skip it.

With --mxf the card is a professional body's instead: XDROOT/Clip/C0001.MXF (an OP1a clip from
tests/corpus/mxf_clip.py, padded with a sparse KLV fill item) and C0002.RSV (the same recording
cut inside a picture).

Layout under MOUNT (the directory passed to the application as --volumes):
  MOUNT/DEMO_CARD/PRIVATE/M4ROOT/CLIP/C0001.MP4   reference (unless --no-reference)
  MOUNT/DEMO_CARD/PRIVATE/M4ROOT/CLIP/C0002.RSV   the interrupted recording
  MOUNT/DEMO_WORK/                                 a work volume

Prints one JSON object: the paths, and what a perfect repair holds ("frames").
"""

import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATOR = os.path.join(HERE, "..", "tests", "corpus", "make_clip.py")
REFERENCE_MIN = 50_000_000


def pad_sparse(path, size):
    """Appends a `free` box so the file is `size` bytes long; the box body stays a hole."""
    have = os.path.getsize(path)
    box = size - have
    with open(path, "r+b") as f:
        f.seek(have)
        f.write(struct.pack(">I4s", box, b"free"))
        f.truncate(size)


def pad_sparse_mxf(path, size):
    """Appends a KLV fill item so the file is `size` bytes long; its value stays a hole."""
    have = os.path.getsize(path)
    length = size - have - 25
    with open(path, "r+b") as f:
        f.seek(have)
        f.write(bytes.fromhex("060e2b34010101020301021001000000") + b"\x88" + struct.pack(">Q", length))
        f.truncate(size)


def mxf_card(a):
    sys.path.insert(0, os.path.dirname(GENERATOR))
    import mxf_clip
    clip = os.path.join(a.mount, "DEMO_CARD", "XDROOT", "Clip")
    work = os.path.join(a.mount, "DEMO_WORK")
    os.makedirs(clip, exist_ok=True)
    os.makedirs(work, exist_ok=True)
    ref = os.path.join(clip, "C0001.MXF")
    mxf_clip.encode(ref, seconds=2)
    with open(ref, "rb") as f:
        data = f.read()
    pk = mxf_clip.packages(data)
    frames = 40
    rsv = os.path.join(clip, "C0002.RSV")
    with open(rsv, "wb") as f:
        f.write(data[:pk[frames]["picture"][0] + pk[frames]["picture"][1] // 2])
    pad_sparse_mxf(ref, REFERENCE_MIN + 1_000_000)
    now = time.time()
    os.utime(ref, (now - 120, now - 120))
    os.utime(rsv, (now - 60, now - 60))
    print(json.dumps({"card": os.path.join(a.mount, "DEMO_CARD"), "work": work, "rsv": rsv, "ref": ref,
                      "frames": frames}))
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("mount", help="the mount directory to lay the card out in")
    ap.add_argument("--case", default="avc-25p-twos-r1024", help="generator case (make_clip.py --list)")
    ap.add_argument("--variant", default="in-frame", help="which interrupted recording of the case")
    ap.add_argument("--no-reference", action="store_true", help="leave the reference clip out")
    ap.add_argument("--broken-rsv", action="store_true",
                    help="an RSV of noise that no engine can repair, instead of the recording")
    ap.add_argument("--mxf", action="store_true", help="a professional body's MXF card instead")
    a = ap.parse_args()
    if a.mxf:
        return mxf_card(a)

    clip = os.path.join(a.mount, "DEMO_CARD", "PRIVATE", "M4ROOT", "CLIP")
    work = os.path.join(a.mount, "DEMO_WORK")
    os.makedirs(clip, exist_ok=True)
    os.makedirs(work, exist_ok=True)

    with tempfile.TemporaryDirectory(prefix="torvelin-card-") as tmp:
        subprocess.run([sys.executable, GENERATOR, "--case", a.case, "--out", tmp, "--no-damage"],
                       check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(tmp, "expect.json")) as f:
            expect = json.load(f)
        variant = next(v for v in expect["variants"] if v["name"] == a.variant)

        rsv = os.path.join(clip, "C0002.RSV")
        if a.broken_rsv:
            with open(rsv, "wb") as f:
                f.write(os.urandom(2_000_000))
        else:
            shutil.copyfile(os.path.join(tmp, variant["file"]), rsv)

        ref = os.path.join(clip, "C0001.MP4")
        if not a.no_reference:
            shutil.copyfile(os.path.join(tmp, expect["reference"]), ref)
            pad_sparse(ref, REFERENCE_MIN + 1_000_000)

    # The reference was finished a minute before the interrupted recording began.
    now = time.time()
    if os.path.exists(ref):
        os.utime(ref, (now - 120, now - 120))
    os.utime(rsv, (now - 60, now - 60))

    print(json.dumps({
        "card": os.path.join(a.mount, "DEMO_CARD"),
        "work": work,
        "rsv": rsv,
        "ref": ref if not a.no_reference else None,
        "frames": None if a.broken_rsv else variant["expect"]["frames"],
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())

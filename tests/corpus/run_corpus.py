#!/usr/bin/env python3
"""Corpus driver: generates a case, runs the repair engine on each of its RSVs, checks the result.

Contract: exit status 0 when every variant passes, 1 when any fails. Prints one
line per variant ("PASS name" or "FAIL name: why", with the engine's output on failure) and a
closing line "N passed, N failed". Works in a temporary directory, removed unless --keep.

Checks for a cut RSV (the rule is in make_clip.py's header comment):
  exit 0, progress "NN%", "Info: saving", one "Duration of" line per track; the output decodes
  with `ffmpeg -v error` silently; video samples = the healthy file's first N samples, byte for
  byte, with the same key frames; decoded pictures (framemd5) = the healthy file's pictures of
  those samples, in presentation order; rtmd = the first N healthy rtmd samples; every audio track
  a prefix of the healthy track within [audio_min, audio_max] bytes, and for `twos` the PCM
  ffmpeg decodes equals those bytes (the tables describe the data correctly).
Damage RSVs: the output decodes silently, holds only healthy frames, holds every intact group's
  frames and audio in order, keeps rtmd in step with video, and reports skipped ranges.
Failure rows: non-zero exit (not a signal), an "Error:" or "Info:" line, and no output file.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_clip  # noqa: E402
from followed import run_followed  # noqa: E402
import mp4box  # noqa: E402

ENGINE_TIMEOUT = 120


class Failure(Exception):
    pass


def check(cond, msg):
    if not cond:
        raise Failure(msg)


LOG = []  # the engine's output of the row being run


def run_engine(engine, ref, rsv, out, noref=False, donor=None, sizes=None):
    """ref is ignored with noref (the engine learns everything from the RSV); sizes: the test's own frame
    sizes the engine tries for pictures of one slice besides the cameras' (the application never sets them)."""
    env = dict(os.environ, TORVELIN_TEST_FRAME_SIZES=sizes) if sizes else None
    if noref:
        return run([engine, "-n", "-rsv-ben", "-noref"] + (["-donor", donor] if donor else []) + ["-dst", out, rsv],
                   env=env)
    return run([engine, "-n", "-rsv-ben", "-dst", out, ref, rsv], env=env)


def run(cmd, cwd=None, env=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=ENGINE_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise Failure("engine did not finish within %d s" % ENGINE_TIMEOUT)
    LOG.append(p.stdout.decode("utf-8", errors="replace"))
    return p.returncode, LOG[-1]


def attempt(name, row):
    """Runs one row: (name, None or why it failed, the engine's output)."""
    LOG.clear()
    try:
        row()
        return (name, None, "".join(LOG))
    except Failure as f:
        return (name, str(f), "".join(LOG))


def decode(path, audio_tracks):
    """One ffmpeg run decoding the video (framemd5) and `audio_tracks` twos tracks (s16be).

    Returns (status, error text, [(pts, picture hash)] in output order, [pcm bytes per track])."""
    with tempfile.TemporaryDirectory() as t:
        md5 = os.path.join(t, "v.md5")
        args = ["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0", "-fps_mode", "passthrough",
                "-f", "framemd5", md5]
        for k in range(audio_tracks):
            args += ["-map", "0:a:%d" % k, "-f", "s16be", os.path.join(t, "a%d.pcm" % k)]
        p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        hashes, pcm = [], []
        if os.path.exists(md5):
            with open(md5) as f:
                rows = [ln.split(",") for ln in f if ln.strip() and not ln.startswith("#")]
                hashes = [(int(r[2]), r[-1].strip()) for r in rows]
        for k in range(audio_tracks):
            a = os.path.join(t, "a%d.pcm" % k)
            pcm.append(open(a, "rb").read() if os.path.exists(a) else None)
        return p.returncode, p.stderr.decode(errors="replace").strip(), hashes, pcm


class Movie:
    """A parsed MP4: its bytes and tracks grouped by kind."""

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        try:
            self.tracks = mp4box.parse_movie(self.data)
        except (ValueError, IndexError, TypeError) as e:
            raise Failure("%s: box structure unreadable: %s" % (os.path.basename(path), e))
        self.video = [t for t in self.tracks if t.handler == b"vide"]
        self.audio = [t for t in self.tracks if t.handler == b"soun"]
        self.meta = [t for t in self.tracks if t.handler == b"meta"]

    def samples(self, t):
        return [t.sample(self.data, i) for i in range(len(t.sizes))]

    def audio_bytes(self, t):
        return b"".join(self.samples(t))


# ---------------------------------------------------------------- cut variants

def check_engine_output(text, n_tracks):
    check(re.search(r"\d+(?:\.\d+)?%", text), "no progress percentage printed")
    check(text.count("Info: saving") == 1, "%d 'Info: saving' lines, expected one" % text.count("Info: saving"))
    # The application maps each phase onto its band of the job's bar: within a phase it must not run back.
    for phase in text.split("Info: saving"):
        figures = [float(f) for f in re.findall(r"(\d+(?:\.\d+)?)%", phase)]
        check(figures == sorted(figures), "progress runs backwards: %s" % figures[:40])
    durations = [ln for ln in re.split(r"[\r\n]+", text) if "Duration of" in ln]
    check(len(durations) == n_tracks, "%d 'Duration of' lines for %d tracks" % (len(durations), n_tracks))


def same_entry(got, ref, noref):
    """With a reference the sample entry is the reference's, byte for byte; without one the engine
    writes its own, of the same format and picture size or sample rate (bytes 32..35; the decoded
    pictures and samples prove the rest)."""
    if noref:
        return all(got.sample_entry[a:b] == ref.sample_entry[a:b] for a, b in ((4, 8), (32, 36)))
    return got.sample_entry == ref.sample_entry


def check_cut(work, exp, var, healthy, reference, healthy_md5, out, text, noref=False):
    e = var["expect"]
    n = e["frames"]
    check(os.path.isfile(out) and not os.path.exists(out + ".partial"), "no output file, or its partial file left")
    m = Movie(out)
    twos = len(m.audio) if exp["audio"] == "twos" else 0
    rc, err, md5, pcm = decode(out, twos)
    check(rc == 0 and not err, "ffmpeg reports errors decoding the output: %s" % err[:800])
    # An audio track that would hold nothing (cut before its first chunk) may be left out.
    needed = max([k + 1 for k in range(exp["audio_tracks"]) if e["audio_max"][k] > 0] or [0])
    check(len(m.video) == 1 and needed <= len(m.audio) <= exp["audio_tracks"] and len(m.meta) == 1,
          "tracks: %d video, %d audio, %d meta" % (len(m.video), len(m.audio), len(m.meta)))
    check_engine_output(text, len(m.tracks))
    v, hv = m.video[0], healthy.video[0]
    check(same_entry(v, reference.video[0], noref), "video sample entry not the reference's")
    check(v.timescale == exp["timescale"], "video timescale %d" % v.timescale)
    check(len(v.sizes) == n, "%d video frames, expected %d" % (len(v.sizes), n))
    got = m.samples(v)
    want = healthy.samples(hv)[:n]
    bad = [i for i in range(n) if got[i] != want[i]]
    check(not bad, "video samples differ from the healthy file's at %s" % bad[:5])
    check(set(v.deltas) <= {exp["frame_delta"]}, "frame durations %s" % sorted(set(v.deltas)))
    hsync = set(range(n)) if hv.sync is None else {i for i in hv.sync if i < n}
    vsync = set(range(n)) if v.sync is None else v.sync
    check(vsync == hsync, "key frames %s, expected %s" % (sorted(vsync)[:8], sorted(hsync)[:8]))
    check_pictures(md5, healthy_md5, hv, n)
    r = m.meta[0]
    check(r.sample_entry == reference.meta[0].sample_entry, "rtmd sample entry not the camera's")
    check(m.samples(r) == healthy.samples(healthy.meta[0])[:e["rtmd"]],
          "rtmd: %d samples / content differs, expected the first %d" % (len(r.sizes), e["rtmd"]))
    for k, (a, ha) in enumerate(zip(m.audio, healthy.audio)):
        check(same_entry(a, reference.audio[k], noref), "audio %d sample entry" % k)
        got = m.audio_bytes(a)
        full = healthy.audio_bytes(ha)
        check(e["audio_min"][k] <= len(got) <= e["audio_max"][k],
              "audio track %d: %d bytes, expected %d..%d" % (k, len(got), e["audio_min"][k], e["audio_max"][k]))
        check(full.startswith(got), "audio track %d is not the healthy audio up to the cut" % k)
        if exp["audio"] == "twos":
            dec = pcm[k]
            check(dec == got, "audio track %d: ffmpeg decodes %s bytes, the tables hold %d" % (
                k, None if dec is None else len(dec), len(got)))


def check_pictures(md5, healthy_md5, hv, n):
    """The decoded pictures matched by content (their hashes): each is a picture of the healthy recording,
    shown at that picture's time relative to the first, and together they are the pictures of the first n
    samples. With B-pictures those need not be a presentation-order prefix."""
    pts, t = [], 0
    for d, c in zip(hv.deltas, hv.cts):
        pts.append(t + c)
        t += d
    order = sorted(range(len(pts)), key=pts.__getitem__)
    hash_of = {s: healthy_md5[r][1] for r, s in enumerate(order)}
    time_of = {h: p for p, h in healthy_md5}
    strange = [i for i, (_, h) in enumerate(md5) if h not in time_of]
    check(not strange, "decoded pictures %s are no picture of the healthy recording" % strange[:5])
    check(sorted(h for _, h in md5) == sorted(hash_of[i] for i in range(n)),
          "the decoded pictures are not those of the first %d samples (%d decoded)" % (n, len(md5)))
    late = [i for i, (p, h) in enumerate(md5) if p - md5[0][0] != time_of[h] - time_of[md5[0][1]]]
    check(not late, "pictures %s are shown at other times than in the healthy recording" % late[:5])
    print("    measured: %d of %d complete frames kept, every picture bit-exact" % (len(md5), n))


# ---------------------------------------------------------------- damage variants

def subsequence(items, wanted):
    """True when `wanted` occurs in `items` in order (not necessarily adjacent)."""
    it = iter(items)
    return all(any(x == w for x in it) for w in wanted)


def decodable(frames, sync):
    """Of the frames (decode order), those whose GOP is there from its key frame on: where groups are not
    GOPs, a group after lost pictures may begin inside a GOP whose start is gone."""
    if sync is None:
        return frames
    present = set(frames)
    start = lambda f: max(k for k in sync if k <= f)  # noqa: E731
    return [f for f in frames if all(x in present for x in range(start(f), f + 1))]


def check_damage(work, exp, var, healthy, reference, out, text):
    check(os.path.isfile(out), "no output file")
    m = Movie(out)
    rc, err, _, _ = decode(out, len(m.audio) if exp["audio"] == "twos" else 0)
    check(rc == 0 and not err, "ffmpeg reports errors decoding the output: %s" % err[:800])
    check(len(m.video) == 1 and len(m.audio) == exp["audio_tracks"] and len(m.meta) == 1, "track set")
    hs = healthy.samples(healthy.video[0])
    index = {s: i for i, s in enumerate(hs)}
    got = [index.get(s) for s in m.samples(m.video[0])]
    check(None not in got, "output holds %d video samples that are no healthy frame" % got.count(None))
    groups = exp["groups"]
    want = [f for g in var["intact_groups"] for f in range(groups[g]["first"], groups[g]["first"] + groups[g]["frames"])]
    want = decodable(want, healthy.video[0].sync)
    check(subsequence(got, want), "not every intact group's frames are recovered in order")
    check(len(m.meta[0].sizes) == len(got), "rtmd %d samples for %d frames" % (len(m.meta[0].sizes), len(got)))
    for k, (a, ha) in enumerate(zip(m.audio, healthy.audio)):
        full = healthy.audio_bytes(ha)
        have = m.audio_bytes(a)
        pos = 0
        for g in var["intact_groups"]:
            off = sum(x["audio"][k][1] for x in groups[:g])
            chunk = full[off:off + groups[g]["audio"][k][1]]
            at = have.find(chunk, pos)
            check(at >= 0, "audio track %d lacks intact group %d's audio" % (k, g))
            pos = at + len(chunk)
    if var["damaged"]:
        skips = [ln for ln in text.splitlines() if ln.startswith("Info:") and re.search(r"skip|not recovered", ln, re.I)]
        check(skips, "no 'Info:' line reports the skipped range")
    if "keep" in var:
        check_timeline(exp, var, healthy, m, got)


def check_timeline(exp, var, healthy, m, got):
    """Exactly the frames that verify, each at the time it was recorded; every sound track's bytes at
    their recorded position (silence where a group's sound is lost): the sound after the damage is
    in step with its pictures. Prints what was kept."""
    keep = var["keep"]
    check(got == keep, "frames kept: %d, expected %d (first difference at %s)" % (
        len(got), len(keep), next((i for i, (a, b) in enumerate(zip(got, keep)) if a != b), min(len(got), len(keep)))))
    # Time lost before the first kept group is an empty edit in every track (shorter for sound kept before it).
    lead = round(m.video[0].lead * exp["timescale"])
    groups, bpf = exp["groups"], exp["bytes_per_frame"]
    first = var.get("sound_from", next(gi for gi, g in enumerate(groups) if g["first"] + g["frames"] > got[0]))
    sound = groups[first]["first"] * exp["frame_delta"] / exp["timescale"]
    check(all(abs(t.lead - (sound if t in m.audio else m.video[0].lead)) < 1e-3 for t in m.tracks),
          "the tracks start at different times")
    dts = [lead]
    for x in m.video[0].deltas[:-1]:
        dts.append(dts[-1] + x)
    late = [i for i, f in enumerate(got) if dts[i] != f * exp["frame_delta"]]
    check(not late, "frame %s decodes at %s, recorded at %s" % (
        got[late[0]], dts[late[0]], got[late[0]] * exp["frame_delta"]) if late else "")
    kept = 0
    for k, (a, ha) in enumerate(zip(m.audio, healthy.audio)):
        have = m.audio_bytes(a)
        full = healthy.audio_bytes(ha)[sum(g["audio"][k][1] for g in groups[:first]):]
        until = sum(g["audio"][k][1] for g in groups[first:-1])
        check(len(have) >= until, "audio track %d ends at byte %d, the intact groups' sound at %d" % (k, len(have), until))
        off = 0
        for gi, g in enumerate(groups[first:], first):
            seg = have[off:off + g["audio"][k][1]]
            if gi in var["audio_lost"]:
                check(seg == bytes(len(seg)), "audio track %d: group %d's lost sound is not silence" % (k, gi))
            elif gi not in var["audio_any"]:
                check(seg == full[off:off + len(seg)], "audio track %d: group %d's sound is not at its time" % (k, gi))
                kept += len(seg) // bpf if k == 0 else 0
            off += g["audio"][k][1]
    print("    measured %s: pictures kept %d of %d that could be; audio samples kept %d; sound offset 0 ms" % (
        var["name"], len(got), var["could"], kept))


# ---------------------------------------------------------------- failure rows

OUT = "<OUT>"  # in a row's arguments: the row's output path, ROW_DIR/A_fixed.MP4


class Link(str):
    """In a row's files: a symbolic link to this path."""


def failure_rows(work, exp):
    """Inputs the engine must refuse: (name, arguments after "-n -rsv-ben", exit status, the files
    in the row's folder before the run, the files it leaves beside them, run on a tiny tmpfs).
    What lay in the folder stays exactly as it was; a file on the "card" is never touched."""
    ref = os.path.join(work, exp["reference"])
    rsv = os.path.join(work, exp["variants"][0]["file"])
    card = os.path.join(work, "card", "C0001.MP4")

    def put(name, data):
        os.makedirs(os.path.dirname(os.path.join(work, name)), exist_ok=True)
        make_clip.write(os.path.join(work, name), data)
        return os.path.join(work, name)

    rng = make_clip.random.Random(7)
    # A plain encoder MP4 (no rtmd track, no camera layout) as the reference.
    plain = os.path.join(work, "plain.mp4")
    make_clip.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=320x180:r=25:d=1", "-c:v",
                   "libx264", "-x264-params", "aud=1", plain])
    # A reference whose video sample description claims 57 entries (it holds one): the repair
    # is written, but it does not play.
    bad = bytearray(open(ref, "rb").read())
    at, _ = mp4box.find(bad, [b"moov", b"trak", b"mdia", b"minf", b"stbl", b"stsd"])
    bad[at + 7] = 0x39
    fifo = os.path.join(work, "pipe")
    os.mkfifo(fifo)
    std = ["-dst", OUT, ref]
    rsv_here = {"A.RSV": open(rsv, "rb").read()}
    return [
        refusal("a zero-byte RSV is refused", std + [put("empty.rsv", b"")], 3),
        refusal("an MXF-family RSV with an MP4 reference is refused",
            std + [put("mxf.rsv", bytes.fromhex("060e2b34020501010d01020101050000") + rng.randbytes(65536))], 12),
        refusal("random bytes hold no recording", std + [put("random.rsv", rng.randbytes(300000))], 3),
        refusal("a plain encoder MP4 is no reference", ["-dst", OUT, plain, rsv], 2),
        refusal("a text file is no reference", ["-dst", OUT, put("text.mp4", b"this is not a movie\n" * 100), rsv], 2),
        refusal("a FIFO as the RSV is refused at once", std + [fifo], 3),
        refusal("a FIFO as the reference is refused at once", ["-dst", OUT, fifo, rsv], 2),
        refusal("an output path below a file is refused", ["-dst", os.path.join(ref, "out.mp4"), ref, rsv], 4),
        refusal("an existing repair is never replaced", std + [rsv], 4, before={"A_fixed.MP4": b"earlier"}),
        refusal("a link at the output is never written through", std + [rsv], 4, before={"A_fixed.MP4": Link(card)}),
        refusal("a dangling link at the output is refused", std + [rsv], 4,
            before={"A_fixed.MP4": Link(os.path.join(work, "card", "NEW.MP4"))}),
        refusal("a repair that does not play is no success and stays partial",
            ["-dst", OUT, put("bad.mp4", bytes(bad)), rsv], 2, left=["A_fixed.MP4.partial"]),
        refusal("an empty -dst is an argument error", ["-dst", "", ref, "A.RSV"], 1, before=rsv_here),
        refusal("without -dst nothing is guessed next to the RSV", [ref, "A.RSV"], 1, before=rsv_here),
        refusal("a full volume exits 14 and leaves only the partial file", std + [rsv], 14, left=["A_fixed.MP4.partial"],
            tmpfs=True),
    ]


def refusal(name, args, code, before=None, left=(), tmpfs=False):
    return name, args, code, before or {}, list(left), tmpfs


def mismatch_rows(work, exp):
    """References from another camera setting than the RSV's: the engine must refuse them."""
    rsv = os.path.join(work, exp["variants"][0]["file"])
    base = make_clip.CASES["avc-25p-twos-r1024"]
    changes = (("a reference in H.265 is refused for an H.264 RSV", dict(codec="hevc", slices=2)),
               ("a reference of another frame size is refused", dict(size="640x360")),
               ("a reference of another frame rate is refused", dict(rate=(50, 1))))
    return [refusal(name, ["-dst", OUT, make_clip.write_reference(dict(base, groups=[12, 12], **change),
                                                               os.path.join(work, "mismatch-%d.mp4" % i)), rsv], 11)
            for i, (name, change) in enumerate(changes)]


# Runs the engine on a tmpfs of 256 KB, private to the run (where user namespaces are allowed),
# and lists what it held before it goes.
TMPFS = ["unshare", "-Urm", "sh", "-c", 'mount -t tmpfs -o size=256k tmpfs "$0" || exit 99; '
         '"$@"; rc=$?; echo "LEFT:$(ls -A "$0")"; exit $rc']


def refuse(engine, d, args, code, before, left, tmpfs):
    os.makedirs(d)
    for name, what in before.items():
        if isinstance(what, Link):
            os.symlink(what, os.path.join(d, name))
        else:
            make_clip.write(os.path.join(d, name), what)
    rc, text = run((TMPFS + [d] if tmpfs else []) + [engine, "-n", "-rsv-ben"] +
                   [os.path.join(d, "A_fixed.MP4") if a == OUT else a for a in args], cwd=d)
    check_failure(rc, text, None, code)
    if tmpfs:
        check("LEFT:%s\n" % " ".join(left) in text, "the tmpfs held something else at the end")
    else:
        check(sorted(os.listdir(d)) == sorted(list(before) + left), "left %s" % sorted(os.listdir(d)))
    for name, what in before.items():
        path = os.path.join(d, name)
        check(os.readlink(path) == what if isinstance(what, Link) else open(path, "rb").read() == what,
              "%s was changed" % name)
    card = os.path.join(os.path.dirname(d), "card")
    check(os.listdir(card) == ["C0001.MP4"] and open(os.path.join(card, "C0001.MP4"), "rb").read() == b"card",
          "the card was written")


def check_failure(rc, text, out, code=None):
    """A refusal, leaving nothing at `out` (None: the caller checks); code 13: a reference clip is
    needed, and the reason says so."""
    check(rc > 0, "exit status %d (expected a non-zero exit, not a signal)" % rc)
    check(re.search(r"^(Error|Info):", text, re.M), "no 'Error:' or 'Info:' line says why")
    check(out is None or not os.path.exists(out), "an output file was left at %s" % out)
    check(code is None or rc == code, "exit status %d, expected %s" % (rc, code))
    check(code != 13 or re.search(r"^Error:.*reference", text, re.M), "no 'Error:' line asks for a reference")


# ---------------------------------------------------------------- main

def run_case(args, work):
    if args.case == "mxf":
        import mxf_cases
        return mxf_cases.run_case(args.engine, work)
    if args.case == "failures":
        exp = make_clip.generate("avc-25p-twos-r1024", work, with_damage=False)
        os.makedirs(os.path.join(work, "card"))
        make_clip.write(os.path.join(work, "card", "C0001.MP4"), b"card")
        private_tmpfs = subprocess.run(TMPFS[:2] + ["true"], capture_output=True).returncode == 0
        results = []
        for i, (name, *row) in enumerate((mismatch_rows if args.damage else failure_rows)(work, exp)):
            if row[-1] and not private_tmpfs:
                results.append((name + " (skipped: no private tmpfs here)", None, ""))
            else:
                results.append(attempt(name, lambda: refuse(args.engine, os.path.join(work, "row%d" % i), *row)))
        return results
    exp = make_clip.generate(args.case, work, with_damage=args.damage)
    healthy = Movie(os.path.join(work, exp["healthy"]))
    reference = Movie(os.path.join(work, exp["reference"]))
    rc, err, healthy_md5, _ = decode(healthy.path, 1 if exp["audio"] == "twos" else 0)
    check(rc == 0 and not err, "healthy file does not decode cleanly: %s" % err)
    check(len(healthy_md5) == exp["total_frames"], "healthy file decodes to %d pictures" % len(healthy_md5))
    case_def = make_clip.CASES[args.case]
    donor = None
    if case_def.get("donor_size") and args.noref:  # a finished clip from the same body at another frame size
        body = dict(case_def, size=case_def["donor_size"], groups=[12])
        body["x264"] = body.get("x264", "") + case_def.get("donor_x264", "")  # another body's settings
        donor = make_clip.write_reference(body, os.path.join(work, "donor.mp4"))
    ref = os.path.join(work, exp["reference"])

    def repair(var, rsv, out):
        if case_def.get("refused") and args.noref:
            return check_failure(*run_engine(args.engine, ref, rsv, out, True), out, 13)
        if case_def.get("min_psnr") and args.noref and var["kind"] == "cut":
            return without_donor(args, var, rsv, out, False, healthy.path, case_def)
        rc, text = run_engine(args.engine, ref, rsv, out, args.noref, donor, case_def.get("test_sizes"))
        if var["kind"] == "cut" and var["expect"]["frames"] == 0:
            return check_failure(rc, text, out)
        if case_def.get("refused_with_donor") and args.noref:
            check("are not pictures" in text, "the pictures were not refused as such")
            return check_failure(rc, text, out, 13)
        check(rc == 0, "engine exit status %d" % rc)
        if var["kind"] == "cut":
            if case_def.get("matrices") and args.noref:
                check(re.findall(r"^Info: scaling matrices: (\S+)", text, re.M) == [case_def["matrices"]], "matrices")
            check_cut(work, exp, var, healthy, reference, healthy_md5, out, text, args.noref)
            return None if args.noref else check_followed(args.engine, ref, var, rsv, out)
        check_engine_output(text, len(healthy.tracks))
        check_damage(work, exp, var, healthy, reference, out, text)

    results = []
    for var in exp["variants"]:
        if var["kind"] != ("damage" if args.damage else "cut"):
            continue
        out, rsv = os.path.join(work, var["name"] + "-out.mp4"), os.path.join(work, var["file"])
        results.append(attempt(var["name"], lambda: repair(var, rsv, out)))
        if case_def.get("test_sizes") and args.noref and var["kind"] == "cut":  # only camera sizes: none fits
            alone = out.replace(".mp4", "-camera.mp4")
            results.append(attempt(var["name"] + " (camera sizes only)", lambda: check_failure(
                *run_engine(args.engine, None, rsv, alone, True), alone, 13)))
        if donor and var["kind"] == "cut":
            results.append(attempt(var["name"] + " (no donor)", lambda: without_donor(
                args, var, rsv, out.replace(".mp4", "-nodonor.mp4"), case_def.get("refused_without_donor", False),
                healthy.path)))
    return results


def check_followed(engine, ref, var, rsv, out):
    """Started on a copy still being written, the engine writes the same file, byte for byte; a copy
    that stops without completing makes it fail with nothing named."""
    stem = os.path.join(os.path.dirname(out), var["name"] + "-followed")
    rc, text = run_followed(engine, ref, rsv, stem + ".rsv", stem + ".mp4", ENGINE_TIMEOUT)
    LOG.append(text)
    check(rc == 0, "following a copy: engine exit status %d" % rc)
    with open(out, "rb") as a, open(stem + ".mp4", "rb") as b:
        check(a.read() == b.read(), "following a copy wrote another file than repairing the whole one")
    rc, text = run_followed(engine, ref, rsv, stem + "-cut.rsv", stem + "-cut.mp4", ENGINE_TIMEOUT,
                            stop_at=os.path.getsize(rsv) // 2)
    LOG.append(text)
    check(rc == 3 and not os.path.exists(stem + "-cut.mp4"), "a copy that failed midway: exit %d" % rc)


def without_donor(args, var, rsv, out, refused, healthy_path, case_def=None):
    """No donor: one matrix set named (the expected one, with pictures near the recording's own), pictures
    decoding cleanly in the recording's format; or, for what only a donor settles, a refusal (exit 13)."""
    rc, text = run_engine(args.engine, None, rsv, out, True)
    if refused:
        return check_failure(rc, text, out, 13)
    check(rc == 0, "engine exit status %d" % rc)
    named = re.findall(r"^Info: scaling matrices: (\S+)", text, re.M)
    check(len(named) == 1, "the matrix set is not named exactly once")
    rc, err, md5, _ = decode(out, 0)
    check(rc == 0 and not err, "ffmpeg reports errors decoding the output: %s" % err[:800])
    check(len(md5) == var["expect"]["frames"], "%d pictures decoded" % len(md5))
    want, got = pixel_format(healthy_path), pixel_format(out)
    check(got == want, "picture format %s, the recording's is %s" % (got, want))
    if case_def and case_def.get("matrices"):
        check(named[0].startswith(case_def["matrices"]), "matrices %s, expected %s" % (named[0], case_def["matrices"]))
        cmd = ["ffmpeg", "-nostdin", "-nostats", "-i", out, "-i", healthy_path, "-lavfi", "psnr=shortest=1", "-f", "null", "-"]
        y = re.search(r"PSNR y:(\S+)", subprocess.run(cmd, stderr=subprocess.PIPE).stderr.decode(errors="replace"))
        LOG.append("luma PSNR %s dB\n" % (y and y.group(1)))
        check(y and float(y.group(1)) >= case_def["min_psnr"], "luma PSNR %s dB" % (y and y.group(1)))


def pixel_format(path):
    return make_clip.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=pix_fmt",
                          "-of", "csv=p=0", path]).decode().strip()


def main():
    ap = argparse.ArgumentParser(description="Runs the repair engine over one corpus case.")
    ap.add_argument("--engine", help="path of the untrunc executable")
    ap.add_argument("--case", required=True, help="a make_clip.py case name, 'failures' or 'mxf'")
    ap.add_argument("--damage", action="store_true", help="run the case's damage variants")
    ap.add_argument("--noref", action="store_true", help="repair without the reference clip (-noref)")
    ap.add_argument("--keep", metavar="DIR", help="work in DIR and keep it")
    ap.add_argument("-v", "--verbose", action="store_true", help="print the engine output of passing variants")
    args = ap.parse_args()
    if not (args.engine and os.access(args.engine, os.X_OK)):
        print("FAIL: engine %r is not an executable" % args.engine)
        return 1
    work = args.keep or tempfile.mkdtemp(prefix="corpus-")
    os.makedirs(work, exist_ok=True)
    try:
        try:
            results = run_case(args, work)
        except (Failure, RuntimeError, ValueError) as e:
            results = [(args.case + " (generation)", str(e), "")]
        passed = failed = 0
        for name, err, text in results:
            if err is None:
                passed += 1
                print("PASS %s" % name)
            else:
                failed += 1
                print("FAIL %s: %s" % (name, err))
            if text and (err is not None or args.verbose):
                tail = text.replace("\r", "\n").splitlines()
                tail = [ln for ln in tail if ln.strip() and not re.fullmatch(r"\s*\d+(\.\d+)?%\s*", ln)]
                print("    engine: " + "\n    engine: ".join(tail[-15:]))
        print("%d passed, %d failed" % (passed, failed))
        return 0 if failed == 0 else 1
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

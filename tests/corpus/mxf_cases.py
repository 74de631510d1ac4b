"""MXF-family corpus case (run_corpus.py --case mxf): encodes one OP1a recording (mxf_clip.py),
makes the RSVs of the table below from it, runs the engine on each and checks the result against
the intact file.

A recovered row must: exit 0 with "Info: saving" and one "Duration of" line per track; decode
silently; hold exactly the expected content packages - every complete package before the cut -
with pictures that decode to the intact file's pictures (framemd5) and every sound track equal,
byte for byte, to the intact track's elements of those packages; carry the start timecode when the
RSV has its header metadata. A damage row (zeros, random bytes, a hole, a damaged length inside a
package's picture, sound or system item) must keep every element the damage did not take, each at
its recorded time, with silence for lost sound (check_damage). A refused row must exit
with its code, print a reason and leave no output (nor a temporary file) behind.
"""

import os
import random
import subprocess

import mxf_clip

TRACKS = 4
RATE = 25  # the intact clip's frame rate


def cut_at(where):
    return lambda d, pk: d[:where(d, pk)]


def longer(index, element="picture"):
    """A package's picture, sound element (by key) or system pack 4096 bytes longer than it is."""
    def make(d, pk):
        b = bytearray(d)
        key = pk[index]["system"][0] if element == "system" else pk[index]["keys"][element]
        n = b[key + 16] & 0x7F
        b[key + 17:key + 17 + n] = (int.from_bytes(b[key + 17:key + 17 + n], "big") + 4096).to_bytes(n, "big")
        return bytes(b)
    return make


def overwritten(span, random_bytes=False):
    def make(d, pk):
        lo, hi = span(pk)
        return d[:lo] + (random.Random(lo).randbytes(hi - lo) if random_bytes else bytes(hi - lo)) + d[hi:]
    return make


def hole(span):
    return lambda d, pk: d[:span(pk)[0]] + d[span(pk)[1]:]


def inside(index, element, a, b):
    """Bytes a..b (at most 30 past its end) of a package's picture (element 0) or sound element
    (1 + track) value, or of its system pack (the whole packet when a is None)."""
    def span(pk):
        p = pk[index]
        if element == "system":
            return (p["system"][0], sum(p["system"][1:])) if a is None else (p["system"][1] + a, p["system"][1] + b)
        voff, ln = ([p["picture"]] + [p["sounds"][k] for k in sorted(p["sounds"])])[element]
        return voff + a, voff + min(b, ln + 30)
    return span


def lost(*which, in_place=()):
    """What a damage row takes: (package, element) lost, and sound damaged in place (PCM cannot tell)."""
    return lambda pk: (set(which), set(in_place))


def whole(*packages):
    return [(p, e) for p in packages for e in range(1 + TRACKS)]


def headerless(inner):
    return lambda d, pk: inner(d, pk)[mxf_clip.body_start(d):]


def mid_picture(i):
    return lambda d, pk: pk[i]["picture"][0] + pk[i]["picture"][1] // 2


PIC, SND, SYS = 10, 20, 30  # the packages whose picture, second sound element, system item is damaged


def zeros_across(pk):
    """From package 40's picture through package 41 whole into package 42's picture."""
    return pk[40]["picture"][0] + 3000, pk[42]["keys"]["picture"] + 100


def first_packages(pk):
    """From the first package's system item into the third's: the result starts at the third."""
    return pk[0]["system"][0], pk[2]["system"][0] + 30


# (name, RSV from (intact bytes, packages), reference, expected exit, for damage: what it takes
# as (lost, damaged in place) from the packages)
ROWS = [
    ("cut-mid-picture", cut_at(mid_picture(30)), "intact", 0, None),
    ("cut-in-third-sound", cut_at(lambda d, pk: list(pk[20]["sounds"].values())[2][0] + 100), "intact", 0, None),
    ("cut-at-package-end", cut_at(lambda d, pk: pk[25]["end"]), "intact", 0, None),
    ("cut-in-key", cut_at(lambda d, pk: pk[40]["start"] + 10), "intact", 0, None),
    ("cut-in-first-package", cut_at(mid_picture(0)), "intact", 3, None),
    ("cut-then-zero-padded", lambda d, pk: cut_at(mid_picture(30))(d, pk) + bytes(1 << 20), "intact", 0, None),
    ("no-header-metadata", headerless(cut_at(mid_picture(35))), "intact", 0, None),
    ("damage-zeros-in-picture", overwritten(inside(PIC, 0, 500, 1500)), "intact", 0, lost((PIC, 0))),
    ("damage-random-over-picture-end", overwritten(inside(PIC, 0, 2000, 1 << 30), True), "intact", 0, lost((PIC, 0))),
    ("damage-hole-in-picture", hole(inside(PIC, 0, 500, 1500)), "intact", 0, lost((PIC, 0))),
    ("damage-picture-length", longer(PIC), "intact", 0, lost((PIC, 0))),
    ("damage-zeros-in-sound", overwritten(inside(SND, 2, 1000, 3000)), "intact", 0, lost(in_place=[(SND, 2)])),
    ("damage-random-in-sound", overwritten(inside(SND, 2, 1000, 3000), True), "intact", 0, lost(in_place=[(SND, 2)])),
    ("damage-hole-in-sound", hole(inside(SND, 2, 1000, 3000)), "intact", 0, lost((SND, 2))),
    ("damage-sound-length", longer(SND, b"\x16\x04\x03\x01"), "intact", 0, lost((SND, 2))),
    ("damage-zeros-over-system-item", overwritten(inside(SYS, "system", None, None)), "intact", 0, lost()),
    ("damage-random-over-system-item", overwritten(inside(SYS, "system", None, None), True), "intact", 0, lost()),
    ("damage-hole-in-system-item", hole(inside(SYS, "system", 10, 30)), "intact", 0, lost()),
    ("damage-system-item-length", longer(SYS, "system"), "intact", 0, lost()),
    ("damage-zeros-across-packages", overwritten(zeros_across), "intact", 0, lost(*whole(40, 41), (42, 0))),
    ("damage-zeros-in-first-packages", overwritten(first_packages), "intact", 0, lost(*whole(0, 1))),
    ("header-only", lambda d, pk: d[:mxf_clip.body_start(d)], "intact", 3, None),
    ("mxf-key-then-noise", lambda d, pk: d[:4] + bytes((i * 131 + i // 7) & 0xFF for i in range(300000)), "intact", 3, None),
    ("mp4-reference", cut_at(mid_picture(30)), "mp4", 12, None),
    ("mxf-reference-for-mp4-rsv", lambda d, pk: fake_mp4(), "intact", 12, None),
    ("no-header-metadata-reference-footer-only", headerless(cut_at(mid_picture(35))), "footer-only", 0, None),
    ("no-header-other-layout", headerless(cut_at(mid_picture(30))), "two-track", 11, None),
    ("no-header-other-rate", headerless(cut_at(mid_picture(30))), "50p", 11, None),
    ("no-header-other-size", headerless(cut_at(mid_picture(30))), "640x360", 11, None),
    ("2997p-drop-frame-cut-mid-picture", cut_at(mid_picture(45)), "intact-2997", 0, None),
    ("unknown-sound-descriptors", lambda d, pk: unknown_sound_descriptors(d)[:mid_picture(30)(d, pk)], "intact", 0, None),
]


def metadata_in_footer_only(d):
    """The header metadata moved to the footer partition (a finished file may be written so):
    the header partition's sets turned into sets of an unknown kind, a copy of them inserted
    after the footer partition pack (offsets before it, and so the random index, stay valid)."""
    body = mxf_clip.body_start(d)
    first = mxf_clip.klvs(d)[0]
    footer = int.from_bytes(d[first[2] + 24:first[2] + 32], "big")
    fk = next(k for k in mxf_clip.klvs(d) if k[0] == footer)
    meta = d[first[2] + first[3]:body]
    b = bytearray(d[:body])
    prefix = bytes.fromhex("060e2b34025301010d01010101")
    at = b.find(prefix)
    while at >= 0:
        b[at + 14] = 0x7E
        at = b.find(prefix, at + 1)
    return bytes(b) + d[body:fk[2] + fk[3]] + meta + d[fk[2] + fk[3]:]


def unknown_sound_descriptors(d):
    """The header metadata's sound descriptors turned into sets of an unknown kind: the RSV's own
    metadata no longer describe its sound, the reference's must."""
    b = bytearray(d)
    for kind in (0x42, 0x47, 0x48):
        key = bytes.fromhex("060e2b34025301010d010101010100") [:14] + bytes([kind, 0])
        at = b.find(key, 0, mxf_clip.body_start(d))
        while at >= 0:
            b[at + 14] = 0x7E
            at = b.find(key, at + 1, mxf_clip.body_start(d))
    return bytes(b)


def fake_mp4():
    box = lambda t, p: (8 + len(p)).to_bytes(4, "big") + t + p  # noqa: E731
    return box(b"ftyp", b"isom\0\0\2\0isommp41") + (1).to_bytes(4, "big") + b"mdat" + bytes(8) + bytes(4096)


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)


def md5s(path, stream):
    return [h for _, h in frames(path, stream)]


def frames(path, stream="0:v"):
    """(presentation time, picture hash) of every decoded picture."""
    p = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", stream, "-fps_mode", "passthrough",
             "-f", "framemd5", "-"])
    rows = [l.split(",") for l in p.stdout.decode().splitlines() if l and not l.startswith("#")]
    return [(int(r[2]), r[-1].strip()) for r in rows]


def audio(path, index):
    p = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a:%d" % index,
                        "-c", "copy", "-f", "s24le", "-"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return p.stdout


def expected_packages(pk, rsv_len, shift):
    """Every whole package before the cut with all its sound."""
    return [i for i, p in enumerate(pk) if p["end"] - shift <= rsv_len and len(p["sounds"]) == TRACKS]


def check_row(row, work, engine, refs, clips):
    name, make, ref, code, damage_of = row
    intact, pk, intact_md5 = clips.get(ref, clips["intact"])  # the 29.97p rows cut their own clip
    data = intact
    rsv = os.path.join(work, name + ".rsv")
    out = os.path.join(work, name + "-out.mp4")
    body = make(data, pk)
    with open(rsv, "wb") as f:
        f.write(body)
    p = run([engine, "-n", "-rsv-ben", "-dst", out, refs[ref], rsv], timeout=120)
    log = p.stdout.decode(errors="replace")
    leftovers = [f for f in os.listdir(work) if f.startswith(name + "-out.mp4.part")]
    if code != 0:
        return ("exit %d, expected %d\n%s" % (p.returncode, code, log) if p.returncode != code else
                "an output was left behind" if os.path.exists(out) or leftovers else
                None if "Error:" in log else "no reason printed")
    if p.returncode != 0:
        return "exit %d\n%s" % (p.returncode, log)
    if "Info: saving" not in log or log.count("Duration of") != 1 + TRACKS + (0 if "no-header" in name else 1):
        return "missing saving/duration lines\n" + log
    dec = run(["ffmpeg", "-nostdin", "-v", "error", "-i", out, "-map", "0:v", "-map", "0:a", "-f", "null", "-"])
    if dec.stdout.strip():
        return "decoding reports errors: " + dec.stdout.decode(errors="replace")[:300]
    if damage_of:
        return check_damage(name, out, log, intact, pk, intact_md5, *damage_of(pk))
    shift = mxf_clip.body_start(data) if "no-header" in name else 0
    # Space a body reserved ahead of the writing (zero bytes) is not recording.
    written = len(body.rstrip(b"\0")) if name.endswith("zero-padded") else len(body)
    keep = expected_packages(pk, written, shift)
    got = md5s(out, "0:v")
    want = [intact_md5[i] for i in keep]
    if got != want:
        return "pictures: %d recovered, %d expected (first difference at %s)" % (
            len(got), len(want), next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want))))
    for t in range(TRACKS):
        key = sorted(pk[0]["sounds"])[t]
        want_audio = b"".join(intact[pk[i]["sounds"][key][0]:sum(pk[i]["sounds"][key])] for i in keep)
        if audio(out, t) != want_audio:
            return "sound track %d differs from the intact track's elements" % (t + 1)
    tc = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream_tags=timecode",
              "-of", "csv=p=0", out]).stdout.decode().strip()
    if tc != ("" if "no-header" in name else "10:00:00;00" if "drop-frame" in name else "10:00:00:00"):
        return "timecode %r" % tc
    print("     %s: %d of %d frames (complete before the cut: %d)" % (
        name, len(got), len(pk), len([i for i in range(len(pk)) if pk[i]["end"] - shift <= written])))
    return None


def check_damage(name, out, log, intact, pk, intact_md5, lost, in_place):
    """Every picture and sound element the damage did not take, each at the time it was recorded:
    a lost picture leaves its time to the one before it, lost sound is silence of its length, so
    the sound after the damage is in step with its pictures; the losses said in "Info: lost" lines."""
    kept = [i for i in range(len(pk)) if (i, 0) not in lost]
    # Time lost before the first package kept is an empty edit: every track starts at its time.
    lead = next(i for i in range(len(pk)) if any((i, e) not in lost for e in range(1 + TRACKS)))
    starts = [float(x) for x in run(["ffprobe", "-v", "error", "-show_entries", "stream=start_time", "-of", "csv=p=0",
                                     out]).stdout.decode().split()]
    if [round(x * RATE) for x in starts[:1 + TRACKS]] != [kept[0]] + [lead] * TRACKS:
        return "tracks start at %s s, recorded at %s" % (starts, [kept[0] / RATE] + [lead / RATE] * TRACKS)
    got = frames(out)
    if [h for _, h in got] != [intact_md5[i] for i in kept]:
        return "pictures: %d recovered, %d expected" % (len(got), len(kept))
    tick = (got[-1][0] - got[0][0]) // (kept[-1] - kept[0])
    late = [i for (t, _), i in zip(got, kept) if t - got[0][0] != (i - kept[0]) * tick]
    if late:
        return "picture %d is not at the time it was recorded" % late[0]
    samples = silent = 0
    for t in range(TRACKS):
        have, at = audio(out, t), 0
        for i, p in enumerate(pk[lead:], lead):
            voff, ln = p["sounds"][sorted(p["sounds"])[t]]
            seg = have[at:at + ln]
            if (i, 1 + t) in lost:
                if seg != bytes(ln):
                    return "sound track %d: package %d's lost sound is not silence of its length" % (t + 1, i)
                silent += ln // 3 if t == 1 else 0
            elif (i, 1 + t) not in in_place:
                if seg != intact[voff:voff + ln]:
                    return "sound track %d: package %d's sound is not at its time" % (t + 1, i)
                samples += ln // 3 if t == 1 else 0
            at += ln
        if at != len(have):
            return "sound track %d holds %d bytes, the recording %d" % (t + 1, len(have), at)
    for kind, e in (("video", lambda x: x == 0), ("audio", lambda x: x > 0)):
        if any(e(x) for _, x in lost) != ("Info: lost %s from" % kind in log):
            return "the 'Info: lost %s' lines do not match what was lost" % kind
    print("     measured %s: pictures kept %d of %d that could be; track 2 samples kept %d, silence %d; offset 0" % (
        name, len(kept), len(pk) - sum(1 for _, e in lost if e == 0), samples, silent))
    return None


def run_case(engine, work):
    """Every row as run_corpus.py's results: (name, None or why it failed, "")."""
    refs = {n: os.path.join(work, n + ".mxf") for n in ("intact", "two-track", "50p", "640x360", "intact-2997")}
    for name, kw in (("intact", dict(audio_tracks=TRACKS)), ("two-track", dict(seconds=1, audio_tracks=2)),
                     ("50p", dict(seconds=1, rate=50)), ("640x360", dict(seconds=1, size="640x360")),
                     ("intact-2997", dict(rate="30000/1001", timecode="10:00:00;00"))):
        mxf_clip.encode(refs[name], **kw)
    data, d2997 = (open(refs[n], "rb").read() for n in ("intact", "intact-2997"))
    refs["mp4"], refs["footer-only"] = os.path.join(work, "reference.mp4"), os.path.join(work, "footer-only.mxf")
    for path, body in ((refs["mp4"], fake_mp4()), (refs["footer-only"], metadata_in_footer_only(data))):
        with open(path, "wb") as f:
            f.write(body)
    clips = {n: (d, mxf_clip.packages(d), md5s(refs[n], "0:v")) for n, d in (("intact", data), ("intact-2997", d2997))}
    return [(row[0], check_row(row, work, engine, refs, clips), "") for row in ROWS]

#!/usr/bin/env python3
"""What the engine leaves behind: the repaired file appears under its name only after success,
nothing that exists is written over or written through, inputs that are not regular files are
refused at once, and each failure ends with the exit status the application explains.

Usage: engine_output_test.py UNTRUNC. Fixtures come from the corpus generator (a 320x180 H.264
camera recording with rtmd and twos audio, cut at a group boundary: an XAVC S body's RSV).
Exit 0 when every row passes; rows that need a private tmpfs say SKIP when none can be made.
"""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "corpus"))
import make_clip  # noqa: E402
import mp4box  # noqa: E402

ENGINE = sys.argv[1]
TIMEOUT = 60


def engine(args, wrap=()):
    try:
        p = subprocess.run(list(wrap) + [ENGINE, "-n", "-rsv-ben"] + args, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None, "did not finish within %d s" % TIMEOUT
    return p.returncode, p.stdout.decode("utf-8", "replace")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def plays(path):
    p = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                        "stream=nb_read_packets", "-of", "csv=p=0", path], capture_output=True, text=True)
    return p.returncode == 0 and p.stdout.strip() not in ("", "0")


def damaged_reference(ref, out):
    """The reference with its video sample description claiming 57 entries (it holds one)."""
    data = bytearray(read(ref))
    ps, _ = mp4box.find(data, [b"moov", b"trak", b"mdia", b"minf", b"stbl", b"stsd"])
    data[ps + 7] = 0x39
    return write(out, bytes(data))


def other_rate_reference(work):
    """A reference from the same body at 50p: another camera setting than the RSV's 25p."""
    case = dict(make_clip.CASES["avc-25p-twos-r1024"], groups=[12, 12], rate=(50, 1))
    sub = os.path.join(work, "50p")
    os.makedirs(sub)
    rec = make_clip.Recording(case, "reference", sub)
    path = os.path.join(sub, "reference.mp4")
    rec.write_file(path, rec.media())
    return path


def private_tmpfs(folder, kib):
    """A command prefix that runs the engine with a tmpfs of `kib` KiB mounted on folder, and
    lists the folder afterwards (the tmpfs goes with the namespace). None when not possible."""
    probe = subprocess.run(["unshare", "-Urm", "true"], capture_output=True)
    if probe.returncode != 0:
        return None
    script = 'mount -t tmpfs -o size=%dk tmpfs "$0" || exit 99; "$@"; rc=$?; echo "LEFT:$(ls -A "$0")"; exit $rc'
    return ["unshare", "-Urm", "sh", "-c", script % kib, folder]


def main():
    work = tempfile.mkdtemp(prefix="engine-output-")
    failures = 0
    try:
        exp = make_clip.generate("avc-25p-twos-r1024", work, with_damage=False)
        ref = os.path.join(work, exp["reference"])
        rsv = os.path.join(work, next(v["file"] for v in exp["variants"] if v["name"] == "boundary"))
        card = os.path.join(work, "card")
        os.makedirs(card)
        card_file = write(os.path.join(card, "C0001.MP4"), b"the card's own file\n")
        earlier = b"an earlier verified repair\n"

        def out_dir(name):
            d = os.path.join(work, name)
            os.makedirs(d)
            return d

        # Each row: name, setup(dir) -> (engine args, command prefix or None), expected exit,
        # check(dir, output) -> error text or None.
        def fresh(d):
            return ["-dst", d + "/A_fixed.MP4", ref, rsv], ()

        def ok_check(d, text):
            names = sorted(os.listdir(d))
            if names != ["A_fixed.MP4"]:
                return "left %s" % names
            return None if plays(d + "/A_fixed.MP4") else "the output does not play"

        def existing(d):
            write(d + "/A_fixed.MP4", earlier)
            return fresh(d)

        def link_to_card(d):
            os.symlink(card_file, d + "/A_fixed.MP4")
            return fresh(d)

        def dangling_link(d):
            os.symlink(card + "/NEW.MP4", d + "/A_fixed.MP4")
            return fresh(d)

        def unchanged(d, text):
            if read(card_file) != b"the card's own file\n" or os.path.exists(card + "/NEW.MP4"):
                return "the card was written"
            target = d + "/A_fixed.MP4"
            if os.path.isfile(target) and not os.path.islink(target) and read(target) != earlier:
                return "the earlier repair was replaced"
            return None if not [n for n in os.listdir(d) if n != "A_fixed.MP4"] else "left %s" % os.listdir(d)

        def fifo(which):
            def setup(d):
                f = d + "/pipe"
                os.mkfifo(f)
                return ["-dst", d + "/A_fixed.MP4"] + ([f, rsv] if which == "ref" else [ref, f]), ()
            return setup

        def nothing_written(d, text):
            left = [n for n in os.listdir(d) if n != "pipe"]
            return "left %s" % left if left else None

        def no_dst_empty(d):
            local = shutil.copy(rsv, d + "/A.RSV")
            return ["-dst", "", ref, local], ()

        def no_dst_missing(d):
            local = shutil.copy(rsv, d + "/A.RSV")
            return [ref, local], ()

        def only_rsv(d, text):
            return None if os.listdir(d) == ["A.RSV"] else "left %s" % os.listdir(d)

        def bad_moov(d):
            return ["-dst", d + "/A_fixed.MP4", damaged_reference(ref, os.path.join(work, "bad.mp4")), rsv], ()

        def kept_partial(d, text):
            names = sorted(os.listdir(d))
            return None if names == ["A_fixed.MP4.partial"] else "left %s" % names

        def mismatch(d):
            return ["-dst", d + "/A_fixed.MP4", other_rate_reference(work), rsv], ()

        def full_volume(d):
            wrap = private_tmpfs(d, 256)
            if wrap is None:
                return None
            return ["-dst", d + "/A_fixed.MP4", ref, rsv], wrap

        def partial_only_after_full(d, text):
            return None if "LEFT:A_fixed.MP4.partial" in text else "the full volume held: " + text[-200:]

        rows = [
            ("a repair appears under its name, nothing else", fresh, 0, ok_check),
            ("an existing repaired file is never replaced", existing, 4, unchanged),
            ("a link at the output is never written through", link_to_card, 4, unchanged),
            ("a dangling link at the output is refused", dangling_link, 4, unchanged),
            ("a FIFO as the RSV is refused at once", fifo("rsv"), 3, nothing_written),
            ("a FIFO as the reference is refused at once", fifo("ref"), 2, nothing_written),
            ("an empty -dst is an argument error", no_dst_empty, 1, only_rsv),
            ("a missing -dst is an argument error", no_dst_missing, 1, only_rsv),
            ("an output that does not play back is no success", bad_moov, 2, kept_partial),
            ("a reference of another frame rate is a mismatch", mismatch, 11, lambda d, t: None),
            ("a full volume: exit 14, the name never holds a partial file", full_volume, 14,
             partial_only_after_full),
        ]
        for i, (name, setup, want, check) in enumerate(rows):
            d = out_dir("row%d" % i)
            prepared = setup(d)
            if prepared is None:
                print("SKIP %s: no private tmpfs here" % name)
                continue
            args, wrap = prepared
            rc, text = engine(args, wrap)
            why = "exit %s, expected %d" % (rc, want) if rc != want else check(d, text)
            if why:
                failures += 1
                print("FAIL %s: %s\n    %s" % (name, why, "\n    ".join(text.splitlines()[-6:])))
            else:
                print("PASS %s" % name)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

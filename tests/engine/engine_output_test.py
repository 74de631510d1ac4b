#!/usr/bin/env python3
"""What the engine leaves behind: the repair appears under its name only after success, nothing
that exists is written over or through, inputs that are no regular files are refused at once,
and each failure ends with the exit status the application explains.

Usage: engine_output_test.py UNTRUNC (exit 0: every row passed). Fixtures come from the corpus
generator: a 320x180 H.264 XAVC S-style recording cut at a group boundary, and its reference.
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus"))
import make_clip  # noqa: E402
import mp4box  # noqa: E402


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def plays(path):
    p = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                        "stream=nb_read_packets", "-of", "csv=p=0", path], capture_output=True, text=True)
    return p.returncode == 0 and p.stdout.strip() not in ("", "0")


def main():
    engine = sys.argv[1]
    work = tempfile.mkdtemp(prefix="engine-output-")
    try:
        exp = make_clip.generate("avc-25p-twos-r1024", work, with_damage=False)
        ref = os.path.join(work, exp["reference"])
        rsv = os.path.join(work, "boundary.rsv")
        card = os.path.join(work, "card")
        os.makedirs(card)
        card_file = write(os.path.join(card, "C0001.MP4"), b"card")

        # A reference whose video sample description claims 57 entries (it holds one).
        bad = bytearray(read(ref))
        at, _ = mp4box.find(bad, [b"moov", b"trak", b"mdia", b"minf", b"stbl", b"stsd"])
        bad[at + 7] = 0x39
        bad_ref = write(os.path.join(work, "bad.mp4"), bytes(bad))
        # The same body at 50p: another camera setting than the RSV's 25p.
        rate_ref = make_clip.write_reference(dict(make_clip.CASES["avc-25p-twos-r1024"], groups=[12, 12], rate=(50, 1)),
                                             os.path.join(work, "50p.mp4"))
        fifo = os.path.join(work, "pipe")
        os.mkfifo(fifo)
        # A tmpfs far too small for the output, private to the engine's run (skipped where
        # user namespaces are not allowed); it lists what it holds before it goes.
        tmpfs = None
        if subprocess.run(["unshare", "-Urm", "true"], capture_output=True).returncode == 0:
            tmpfs = ["unshare", "-Urm", "sh", "-c", 'mount -t tmpfs -o size=256k tmpfs "$0" || exit 99; '
                     '"$@"; rc=$?; echo "LEFT:$(ls -A "$0")"; exit $rc']

        # name, what lies at OUT before, engine arguments after -dst OUT, exit status, files left
        # in OUT's folder (None: not checked), text the output must hold
        rows = [
            ("a repair appears under its name", None, [ref, rsv], 0, ["A_fixed.MP4"], ""),
            ("an existing repair is never replaced", b"earlier", [ref, rsv], 4, ["A_fixed.MP4"], ""),
            ("a link at OUT is never written through", card_file, [ref, rsv], 4, ["A_fixed.MP4"], ""),
            ("a dangling link at OUT is refused", card + "/NEW.MP4", [ref, rsv], 4, ["A_fixed.MP4"], ""),
            ("a FIFO as the RSV is refused at once", None, [ref, fifo], 3, [], ""),
            ("a FIFO as the reference is refused at once", None, [fifo, rsv], 2, [], ""),
            ("an output that does not play is no success", None, [bad_ref, rsv], 2, ["A_fixed.MP4.partial"], ""),
            ("a reference of another frame rate is a mismatch", None, [rate_ref, rsv], 11, [], ""),
            ("a full volume exits 14 and leaves only the partial file", "tmpfs", [ref, rsv], 14, None,
             "LEFT:A_fixed.MP4.partial\n"),
        ]
        failures = 0
        for i, (name, before, args, want, left, says) in enumerate(rows):
            d = os.path.join(work, "row%d" % i)
            os.makedirs(d)
            out, wrap = os.path.join(d, "A_fixed.MP4"), []
            if isinstance(before, bytes):
                write(out, before)
            elif before == "tmpfs":
                if tmpfs is None:
                    print("SKIP %s: no private tmpfs here" % name)
                    continue
                wrap = tmpfs + [d]
            elif before:
                os.symlink(before, out)
            try:
                p = subprocess.run(wrap + [engine, "-n", "-rsv-ben", "-dst", out] + args, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, timeout=60)
                rc, text = p.returncode, p.stdout.decode("utf-8", "replace")
            except subprocess.TimeoutExpired:
                rc, text = None, "did not finish within 60 s"
            why = None
            if rc != want:
                why = "exit %s, expected %d" % (rc, want)
            elif left is not None and sorted(os.listdir(d)) != left:
                why = "left %s" % sorted(os.listdir(d))
            elif says not in text:
                why = "the output lacks %r" % says
            elif read(card_file) != b"card" or os.listdir(card) != ["C0001.MP4"]:
                why = "the card was written"
            elif before == b"earlier" and read(out) != before:
                why = "the earlier repair was replaced"
            elif want == 0 and not plays(out):
                why = "the repair does not play"
            if why:
                failures += 1
                print("FAIL %s: %s\n    %s" % (name, why, "\n    ".join(text.splitlines()[-4:])))
            else:
                print("PASS %s" % name)
        # No output named: nothing may be guessed next to the RSV.
        for name, dst in (("an empty -dst is an argument error", ["-dst", ""]), ("-dst is required", [])):
            d = os.path.join(work, name.replace(" ", "-"))
            os.makedirs(d)
            local = shutil.copy(rsv, os.path.join(d, "A.RSV"))
            rc = subprocess.run([engine, "-n", "-rsv-ben"] + dst + [ref, local], capture_output=True).returncode
            ok = rc == 1 and os.listdir(d) == ["A.RSV"]
            failures += not ok
            print("%s %s%s" % ("PASS" if ok else "FAIL", name, "" if ok else ": exit %d, left %s" % (rc, os.listdir(d))))
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

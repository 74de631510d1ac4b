#!/usr/bin/env python3
"""End-to-end runs of the real application on a generated camera card.

Each scenario lays out a card with scripts/make_demo_card.py in a fresh mount directory, runs
the headless application (the window's own run is tests/app/window_e2e_test.cpp), and checks what a user relies on: the final job state and its Korean message, the
recovered file playing cleanly in ffmpeg with every complete frame, the card's files
byte-identical before and after, and nothing written anywhere but the work folder.

Usage: run_e2e.py --app BIN --scenario NAME    (exit 0 pass, 1 fail)
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CARD_TOOL = os.path.join(ROOT, "scripts", "make_demo_card.py")


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


ELSEWHERE = []  # folders on another file system, removed at the end


def card_elsewhere(mount, name):
    """Moves the volume `name` onto another file system (tmpfs) and links it into the mount
    folder, as a card is never on the work volume's file system. False when there is none."""
    shm = "/dev/shm"
    if not os.path.isdir(shm) or os.stat(shm).st_dev == os.stat(mount).st_dev:
        return False
    place = tempfile.mkdtemp(prefix="torvelin-card-", dir=shm)
    ELSEWHERE.append(place)
    src, dst = os.path.join(mount, name), os.path.join(place, name)
    shutil.move(src, dst)
    os.symlink(dst, src)
    return True


def snapshot(top):
    """Every file under `top` (through the cards' links) with its size, modification time and content hash."""
    files = {}
    for d, _, names in os.walk(top, followlinks=True):
        for n in names:
            p = os.path.join(d, n)
            st = os.lstat(p)
            h = hashlib.sha256()
            with open(p, "rb") as f:
                for block in iter(lambda: f.read(1 << 20), b""):
                    h.update(block)
            files[os.path.relpath(p, top)] = (st.st_size, st.st_mtime_ns, h.hexdigest())
    return files


def lay_card(mount, *flags):
    out = subprocess.run([sys.executable, CARD_TOOL, mount, *flags], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def run_headless(app, mount, requests, home, timeout=300):
    lines = "".join(json.dumps(r) + "\n" for r in requests)
    env = dict(os.environ, HOME=home)
    env.pop("TORVELIN_AUTOTEST", None)
    p = subprocess.run([app, "--headless", "--volumes", mount],
                       input=lines, text=True, capture_output=True, timeout=timeout, env=env)
    check(p.returncode == 0, "headless exit status %d: %s" % (p.returncode, p.stderr[-2000:]))
    answers, states = {}, []
    for line in p.stdout.splitlines():
        # A card that comes or goes under the mount folder is told to the page at any time.
        if line == "window.__volumesChanged && window.__volumesChanged({})":
            continue
        for fn in ("__resolve", "__progress"):
            prefix = "window.%s && window.%s(" % (fn, fn)
            if line.startswith(prefix) and line.endswith(")"):
                value = json.loads(line[len(prefix):-1])
                if fn == "__resolve":
                    answers[value["call"]] = value["data"]
                else:
                    states.append(value)
                break
        else:
            raise Failure("unexpected line on stdout: %r" % line[:200])
    return answers, states


def ffmpeg_frames(path):
    """The pictures of the first video track; playing the file (second output) must draw no word from ffmpeg."""
    p = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map", "0:v:0", "-f", "framemd5", "-",
                        "-f", "null", os.devnull], capture_output=True, text=True)
    check(p.returncode == 0 and p.stderr.strip() == "",
          "ffmpeg reports errors on the recovered file: %s" % p.stderr[-1000:])
    return len([l for l in p.stdout.splitlines() if l and not l.startswith("#")])


def check_only_work_folder_written(before, after, work_rel):
    for rel, meta in after.items():
        if rel in before and before[rel] == meta:
            continue
        check(rel.startswith(work_rel + os.sep + "RSV복구_"),
              "written outside the work folder: %s" % rel)
    for rel in before:
        check(rel in after, "deleted: %s" % rel)


def check_card_untouched(before, after):
    for rel, meta in before.items():
        if rel.startswith("DEMO_CARD" + os.sep):
            check(after.get(rel) == meta, "the card file changed: %s" % rel)


def final_state(states):
    check(states, "no job state was pushed")
    ids = {s.get("id") for s in states}
    check(len(ids) == 1, "states of several jobs: %s" % ids)
    return states[-1]


class Card:
    """A generated card under tmp/media and an empty HOME; done() checks the recovered file and
    that nothing but the work folder was written."""

    def __init__(self, tmp, *flags):
        self.mount, self.home = os.path.join(tmp, "media"), os.path.join(tmp, "home")
        self.card = lay_card(self.mount, *flags)
        if not card_elsewhere(self.mount, "DEMO_CARD"):
            raise Failure("no second file system for the card (/dev/shm)")
        self.before = snapshot(self.mount)
        os.makedirs(self.home)

    def done(self, out):
        check(ffmpeg_frames(out) == self.card["frames"], "the recovered file holds every complete frame")
        after = snapshot(self.mount)
        check_card_untouched(self.before, after)
        check_only_work_folder_written(self.before, after, "DEMO_WORK")


# ------------------------------------------------------------------ scenarios

def scenario_recover(app, tmp, *flags):
    """Scan, recover with the found reference, verify: "done" with three frames (flags: the card's kind)."""
    c = Card(tmp, *flags)
    mount, home, card, work_root = c.mount, c.home, c.card, c.card["work"]
    # The scan runs first, on its own: run beside the job it would also find the RSV copy
    # growing in the work folder (the scan walks every volume, the work volume included).
    answers, states = run_headless(app, mount, [{"cmd": "scan", "call": 1}], home)
    check(states == [], "a scan pushed job states")
    more, states = run_headless(app, mount, [
        {"cmd": "recover", "call": 2, "args": {"rsv": card["rsv"], "ref": card["ref"], "vol": work_root}},
    ], home)
    answers.update(more)

    scan = answers.get(1)
    check(scan and len(scan["rsvs"]) == 1, "scan did not find the RSV: %s" % scan)
    rsv = scan["rsvs"][0]
    check(rsv["path"] == card["rsv"] and rsv["vol"] == "DEMO_CARD", "scan entry: %s" % rsv)
    check([r["path"] for r in rsv["refs"]] == [card["ref"]], "reference candidates: %s" % rsv["refs"])
    # The card is never a work place; the computer's own folder is.
    check({(v["id"], v["kind"]) for v in scan["volumes"]} == {("DEMO_WORK", "removable"), (os.path.basename(home), "home")},
          "volumes: %s" % scan["volumes"])
    check(rsv.get("info", {}).get("codec") == ("XAVC Intra" if "--mxf" in flags else "H.264"), "RSV info: %s" % rsv.get("info"))
    check("id" in answers.get(2, {}), "recover refused: %s" % answers.get(2))

    stages = [s["stage"] for s in states]
    for stage in ("copy", "recover", "verify", "done"):
        check(stage in stages, "stage %s never pushed: %s" % (stage, stages))
    last = final_state(states)
    check(last["stage"] == "done", "job ended in %s: %s" % (last["stage"], last.get("error")))
    check(len(last["thumbs"]) == 3 and all(t["img"].startswith("data:image/jpeg;base64,") for t in last["thumbs"]),
          "three verification frames")
    check([t["tag"] for t in last["thumbs"]] == ["start", "mid", "end"], "frame tags")
    check(len(last["durations"]) >= (5 if "--mxf" in flags else 1) and all("Duration of" in d for d in last["durations"]),
          "a duration line per track: %s" % last["durations"])
    check(last["info"]["dur"] > 1.0 and last["info"]["w"] == 320, "probe of the result: %s" % last["info"])
    out = last["out"]
    check(os.path.dirname(out) == last["work_dir"] and last["work_dir"].startswith(work_root + "/RSV복구_"),
          "work folder: %s" % last["work_dir"])
    check(os.path.getsize(out) == last["out_size"], "out_size")
    c.done(out)
    copy = os.path.join(last["work_dir"], "DEMO_CARD_C0002.RSV")
    with open(copy, "rb") as a, open(card["rsv"], "rb") as b:
        check(a.read() == b.read(), "the RSV copy equals the card's RSV")
    check(os.listdir(home) == [], "the application wrote into HOME: %s" % os.listdir(home))


SCENARIOS = {
    "recover": scenario_recover,
    "recover-mxf": lambda app, tmp: scenario_recover(app, tmp, "--mxf"),
}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--app", required=True)
    ap.add_argument("--scenario", required=True, choices=sorted(SCENARIOS))
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder")
    a = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="torvelin-e2e-")
    try:
        SCENARIOS[a.scenario](os.path.abspath(a.app), tmp)
        print("1 passed, 0 failed")
        return 0
    except Failure as e:
        print("FAIL %s: %s" % (a.scenario, e))
        print("0 passed, 1 failed")
        return 1
    finally:
        for place in ELSEWHERE:
            shutil.rmtree(place, ignore_errors=True)
        if a.keep:
            print("kept", tmp)
        else:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Volume benchmark: cp, the repair engine and the whole headless job on ext4, XFS and btrfs.

For each file system a loop volume is made (a sparse image in --dir, formatted and mounted as the
work volume beside a card folder), and three steps are timed, each from a cold cache (sync, then
`echo 3 > /proc/sys/vm/drop_caches`) and until what it wrote is on the disk (`sync -f`):
  cp      the card's RSV copied onto the work volume (the yardstick: the faster of two runs)
  engine  the repair of that copy with the card's reference, into the same volume
  job     the whole headless job (copy, repair, verification), as the application runs it: timed from the
          "recover" request to an application already started (the cache dropped after its start)
Prints each as seconds and as a ratio against cp on the same volume in the same run, whether the
engine shared the footage with the RSV (its "footage shared" line), and the engine's peak memory.

The RSV imitates an XAVC S body's interrupted recording: bench/engine/large_rsv.py repeats the groups
of a generated clip up to the size asked for. --case bench-avc-1080 (the default) is 1920x1080 H.264 at
25p and about 50 Mb/s, as such a body records; bench-avc is 1280x720 at about 14 Mb/s, so the same
gigabytes hold 3.5 times the minutes, and verification, which checks at least one key picture per 10 s,
has 3.5 times the pictures to decode.

By default the card is a folder on the disk that holds --dir, read as fast as that disk reads. A real
card reader reads at 90-300 MB/s, slower than the work disk: with --card-mb-s N the rows are measured
a second time with the card on a loop volume of its own (exFAT where mkfs.exfat is installed, else
ext4), mounted read-only, whose reads are limited to N MB/s (cgroup v2 io.max, or the v1 blkio
throttle), and both tables are printed, with the card's measured read rate. Without either cgroup
interface the card rows are skipped with a notice.

Needs root (loop devices, mount, dropping caches) and mkfs.ext4, mkfs.xfs, mkfs.btrfs
(scripts/install-deps.sh bench); without root it prints a notice and does nothing, and a file
system without its mkfs tool is skipped with a notice.

Usage: bench_volumes.py --engine PATH --app PATH [--gb 4] [--dir DIR] [--fs ext4,xfs,btrfs] [--keep]
                        [--card-mb-s 150] [--case bench-avc-1080|bench-avc]
"""

import argparse
import contextlib
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "engine"))
import large_rsv  # noqa: E402

# ext4 otherwise leaves its inode tables and journal to be zeroed after the mount, by a kernel thread that
# writes to the disk while the first rows are timed (it made cp take 10-26 s for the same 8 GB).
MKFS = {"ext4": ["mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0"],
        "xfs": ["mkfs.xfs", "-q", "-f"], "btrfs": ["mkfs.btrfs", "-q", "-f"]}
MARGIN = 14 * 10**9  # the job asks for the copy, the result and 10 GB to spare; ext4 keeps 5 % back


def cold():
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def timed(cmd, synced, stdin=None, env=None):
    """Runs cmd from a cold cache until `synced` is on the disk; returns (seconds, peak RSS, output)."""
    cold()
    start = time.monotonic()
    p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    p.stdin.write((stdin or "").encode())
    p.stdin.close()
    out = p.stdout.read().decode(errors="replace")
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    subprocess.run(["sync", "-f", synced], check=True)
    seconds = time.monotonic() - start
    if p.returncode != 0:
        sys.exit("%s failed (%d):\n%s" % (cmd[0], p.returncode, out[-3000:]))
    return seconds, usage.ru_maxrss * 1024, out


def timed_job(cmd, request, synced, env):
    """The whole job as a user starts it, in an application already running: the application is started
    and answers a first request, then the cache is dropped and the clock runs from the "recover" request
    until the application has ended and the work volume is synced. Returns (seconds, output lines timed)."""
    p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    p.stdin.write((json.dumps({"cmd": "licenses", "call": 0, "args": {}}) + "\n").encode())
    p.stdin.flush()
    for line in p.stdout:
        if b'"call":0' in line:
            break
    cold()
    start = time.monotonic()
    p.stdin.write(request.encode())
    p.stdin.close()
    lines = [(time.monotonic() - start, line.decode(errors="replace")) for line in p.stdout]
    if p.wait() != 0:
        sys.exit("%s failed (%d):\n%s" % (cmd[0], p.returncode, "".join(l for _, l in lines)[-3000:]))
    subprocess.run(["sync", "-f", synced], check=True)
    return time.monotonic() - start, lines


def stage_times(lines):
    """Seconds from the job's start to the first state of each stage, from its timed output lines."""
    starts = {}
    for t, line in lines:
        if "__progress(" in line:
            stage = json.loads(line[line.index("(") + 1:line.rindex(")")]).get("stage")
            starts.setdefault(stage, t)
    return starts


def eta_trace(lines, total):
    """The job's "eta_s" against the time it truly had left, at a quarter, half, three quarters and 90 % of
    its time: "said/true" seconds (the last estimate pushed by then; "-" when it gave none)."""
    said = []
    for t, line in lines:
        if "__progress(" in line:
            eta = json.loads(line[line.index("(") + 1:line.rindex(")")]).get("eta_s")
            said.append((t, eta))
    out = []
    for share in (0.25, 0.5, 0.75, 0.9):
        at = share * total
        last = [eta for t, eta in said if t <= at]
        out.append("%d%%: %s/%.1f" % (share * 100, "-" if not last or last[-1] is None else last[-1], total - at))
    return ", ".join(out)


def generate(a):
    gen = os.path.join(a.dir, "gen")
    info_path = os.path.join(gen, "large.json")
    if os.path.exists(info_path):
        with open(info_path) as f:
            info = json.load(f)
        if (abs(info["bytes"] - a.gb * 1e9) <= 0.2 * a.gb * 1e9 and os.path.exists(info["rsv"])
                and info.get("case") == a.case):
            return info
    shutil.rmtree(gen, ignore_errors=True)
    os.makedirs(gen)
    print("generating a %.1f GB RSV in %s ..." % (a.gb, gen), flush=True)
    return large_rsv.make(a.case, gen, a.gb)


def lay_card(a, info):
    """The card: a folder under the volumes' mount folder holding the RSV and the reference."""
    clip = os.path.join(a.dir, "media", "CARD", "PRIVATE", "M4ROOT", "CLIP")
    os.makedirs(clip, exist_ok=True)
    rsv, ref = os.path.join(clip, "C0002.RSV"), os.path.join(clip, "C0001.MP4")
    for src, dst in ((info["rsv"], rsv), (info["reference"], ref)):
        if not os.path.exists(dst):
            os.link(src, dst)
    return rsv, ref


CGROUP = "tv-bench-card"


def limit_reads(dev, bytes_per_s):
    """Limits reads of block device `dev` by this process and its children to bytes_per_s. Returns a
    function that lifts the limit, or None with a notice when no cgroup interface allows it."""
    rdev = os.stat(dev).st_rdev
    key = "%d:%d" % (os.major(rdev), os.minor(rdev))
    v2, v1 = "/sys/fs/cgroup", "/sys/fs/cgroup/blkio"

    def write(path, text):
        with open(path, "w") as f:
            f.write(text)

    def own(controller):
        for line in open("/proc/self/cgroup"):
            _, names, path = line.rstrip("\n").split(":", 2)
            if controller in names.split(","):
                return path
        return "/"

    try:
        if os.path.exists(v2 + "/cgroup.controllers") and "io" in open(v2 + "/cgroup.controllers").read().split():
            base, rule, home = v2, ("io.max", "%s rbps=%d" % (key, bytes_per_s)), v2 + own("")
            write(v2 + "/cgroup.subtree_control", "+io")
        elif os.path.exists(v1 + "/blkio.throttle.read_bps_device"):
            base, rule, home = v1, ("blkio.throttle.read_bps_device", "%s %d" % (key, bytes_per_s)), v1 + own("blkio")
        else:
            print("card reader: unavailable (no cgroup v2 io controller, no v1 blkio throttle); card rows skipped")
            return None
        group = os.path.join(base, CGROUP)
        os.makedirs(group, exist_ok=True)
        write(os.path.join(group, rule[0]), rule[1])
        write(os.path.join(group, "cgroup.procs"), str(os.getpid()))
    except OSError as e:
        print("card reader: unavailable (%s); card rows skipped" % e)
        return None

    def lift():
        write(os.path.join(home, "cgroup.procs"), str(os.getpid()))
        os.rmdir(group)
    return lift


@contextlib.contextmanager
def card_reader(a, info):
    """The card on a loop volume of its own, read-only, its reads limited to --card-mb-s. Yields the
    RSV and reference paths on it, or None when the limit cannot be set."""
    mount = os.path.join(a.dir, "media", "CARD")
    img = os.path.join(a.dir, "card.img")
    kind = "exfat" if shutil.which("mkfs.exfat") else "ext4"
    with open(img, "wb") as f:
        f.truncate(os.path.getsize(info["rsv"]) + os.path.getsize(info["reference"]) + 512 * 10**6)
    mkfs = ["mkfs.exfat", "-q"] if kind == "exfat" else MKFS["ext4"] + ["-m", "0"]
    subprocess.run(mkfs + [img], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    dev = subprocess.run(["losetup", "--find", "--show", "--direct-io=on", img], check=True,
                         capture_output=True, text=True).stdout.strip()
    lift = None
    try:
        shutil.rmtree(mount, ignore_errors=True)
        os.makedirs(mount)
        subprocess.run(["mount", dev, mount], check=True)
        clip = os.path.join(mount, "PRIVATE", "M4ROOT", "CLIP")
        os.makedirs(clip)
        rsv, ref = os.path.join(clip, "C0002.RSV"), os.path.join(clip, "C0001.MP4")
        for src, dst in ((info["rsv"], rsv), (info["reference"], ref)):
            shutil.copyfile(src, dst)
        subprocess.run(["mount", "-o", "remount,ro", mount], check=True)
        lift = limit_reads(dev, int(a.card_mb_s * 1e6))
        if lift is None:
            yield None
            return
        cold()
        start = time.monotonic()
        with open(rsv, "rb") as f:
            while f.read(1 << 20):
                pass
        print("card reader: %s loop volume, read-only, reads limited to %.0f MB/s; read cold at %.0f MB/s" % (
            kind, a.card_mb_s, os.path.getsize(rsv) / (time.monotonic() - start) / 1e6), flush=True)
        yield rsv, ref
    finally:
        if lift:
            lift()
        subprocess.run(["umount", mount], check=False)
        subprocess.run(["losetup", "-d", dev], check=False)
        os.remove(img)


def one_volume(a, fs, rsv, ref):
    media = os.path.join(a.dir, "media")
    work = os.path.join(media, "WORK")
    img = os.path.join(a.dir, fs + ".img")
    with open(img, "wb") as f:
        f.truncate(2 * os.path.getsize(rsv) + MARGIN)
    subprocess.run(MKFS[fs] + [img], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.makedirs(work, exist_ok=True)
    # Direct I/O: what the volume syncs reaches the disk, not the image file's page cache.
    dev = subprocess.run(["losetup", "--find", "--show", "--direct-io=on", img], check=True,
                         capture_output=True, text=True).stdout.strip()
    subprocess.run(["mount", dev, work], check=True)
    row = {"fs": fs}
    try:
        copy, fixed = os.path.join(work, "C0002.RSV"), os.path.join(work, "fixed.mp4")
        # The faster of two cp runs: on a shared machine one alone can take twice as long as the other.
        first = timed(["cp", rsv, copy], copy)[0]
        os.remove(copy)
        second = timed(["cp", rsv, copy], copy)[0]
        row["cp"] = min(first, second)
        print("  cp on %s: %.2fs, %.2fs" % (fs, first, second), flush=True)
        engine = [a.engine, "-n", "-rsv-ben", "-dst", fixed, ref, copy]
        row["engine"], row["rss"], log = timed(engine, fixed)
        row["shared"] = "footage shared" in log
        os.remove(fixed)
        os.remove(copy)
        home = os.path.join(a.dir, "home")
        os.makedirs(home, exist_ok=True)
        request = json.dumps({"cmd": "recover", "call": 1, "args": {"rsv": rsv, "ref": ref, "vol": work}}) + "\n"
        app = [a.app, "--headless", "--volumes", media] + (["--resources", a.resources] if a.resources else [])
        row["job"], lines = timed_job(app, request, work, env=dict(os.environ, HOME=home))
        out = "".join(line for _, line in lines)
        starts = stage_times(lines)
        print("  job on %s: %s, synced %.2fs" % (fs, ", ".join("%s at %.2fs" % kv for kv in starts.items()),
                                                  row["job"]), flush=True)
        print("  eta_s said/true at a share of the job's time: %s" % eta_trace(lines, row["job"]), flush=True)
        states = [json.loads(l[l.index("(") + 1:-1]) for l in out.splitlines() if "__progress(" in l]
        last = states[-1] if states else {}
        print("  the job's footage shared: %s" % last.get("footage_shared"), flush=True)
        if last.get("stage") != "done":
            # A refused request has no job state: its answer says why.
            why = last.get("error") or next((l.strip() for l in out.splitlines() if '"call":1' in l), None)
            print("  the job on %s ended in %s: %s" % (fs, last.get("stage"), why), flush=True)
            row["job"] = float("nan")
    finally:
        subprocess.run(["umount", work], check=False)
        subprocess.run(["losetup", "-d", dev], check=False)
        os.remove(img)
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--engine", required=True, help="path of the untrunc executable")
    ap.add_argument("--app", required=True, help="path of the torvelin-recovery executable")
    ap.add_argument("--gb", type=float, default=4.0, help="size of the RSV in gigabytes")
    ap.add_argument("--dir", default="/var/tmp/tv-volume-bench", help="where the images and the RSV go")
    ap.add_argument("--fs", default="ext4,xfs,btrfs", help="file systems to measure")
    ap.add_argument("--keep", action="store_true", help="keep the generated RSV for the next run")
    ap.add_argument("--resources", help="resources folder for the application (e.g. one with another engine)")
    ap.add_argument("--case", default="bench-avc-1080", choices=["bench-avc-1080", "bench-avc"],
                    help="the recording (see above)")
    ap.add_argument("--card-mb-s", type=float,
                    help="measure again with the card on a loop volume read at most this fast (a card reader)")
    a = ap.parse_args()
    if os.geteuid() != 0:
        print("bench_volumes: skipped, it needs root (loop volumes, mount, dropping caches)")
        return 0
    os.makedirs(a.dir, exist_ok=True)
    info = generate(a)
    rsv, ref = lay_card(a, info)
    print("RSV (%s): %d bytes, %d complete frames" % (a.case, info["bytes"], info["complete_frames"]), flush=True)
    tables = []
    try:
        tables.append(("card: a folder on the disk of %s" % a.dir, all_volumes(a, rsv, ref)))
        if a.card_mb_s:
            with card_reader(a, info) as card:
                if card:
                    tables.append(("card: a reader at %.0f MB/s" % a.card_mb_s, all_volumes(a, *card)))
    finally:
        shutil.rmtree(os.path.join(a.dir, "media"), ignore_errors=True)
        if not a.keep:
            shutil.rmtree(a.dir, ignore_errors=True)
    for title, rows in tables:
        print(title)
        print("%-6s %8s %16s %16s %7s %9s" % ("volume", "cp", "engine", "whole job", "shared", "peak RSS"))
        for r in rows:
            print("%-6s %7.2fs %8.2fs %5.2fx %8.2fs %5.2fx %7s %6.0f MB" % (
                r["fs"], r["cp"], r["engine"], r["engine"] / r["cp"], r["job"], r["job"] / r["cp"],
                "yes" if r["shared"] else "no", r["rss"] / 1e6))
    return 0


def all_volumes(a, rsv, ref):
    rows = []
    for fs in a.fs.split(","):
        if shutil.which(MKFS[fs][0]) is None:
            print("%s: skipped, %s is not installed (scripts/install-deps.sh bench)" % (fs, MKFS[fs][0]))
            continue
        print("%s ..." % fs, flush=True)
        rows.append(one_volume(a, fs, rsv, ref))
    return rows


if __name__ == "__main__":
    sys.exit(main())

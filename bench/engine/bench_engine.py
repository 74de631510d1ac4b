#!/usr/bin/env python3
"""Repair-engine benchmark: repairs a ~2 GB RSV and copies the same file with cp, in one run.

The RSV is made by large_rsv.py (case bench-avc by default: a generated clip's groups repeated;
with --family mxf an MXF-family RSV, a 1280x720 OP1a clip's content packages repeated, then a
cut), repaired with the clip as reference. Both sides write into the same directory and are
timed until their output is synced to disk (the engine fsyncs its output; `sync FILE` is run
after both), with the RSV read once beforehand so neither side pays for a cold cache alone.
Nothing else is dropped or flushed. Prints the times, the ratio engine / cp (target <= 1.3) and
the engine's peak resident memory (target < 256 MB).

With --noref the engine repairs without the reference clip (case bench-avc-inband: the stream
carries its parameter sets, so nothing is searched and the same ratio target holds).

Usage: bench_engine.py --engine PATH [--gb 2] [--case bench-avc | --family mxf] [--noref] [--dir DIR]
                       [--runs 2] [--keep]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import large_rsv  # noqa: E402


def timed(cmd, out_path):
    """Runs cmd, syncs out_path; returns (seconds, peak RSS in bytes, output text)."""
    start = time.monotonic()
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = p.stdout.read()
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    subprocess.run(["sync", out_path], check=True)
    elapsed = time.monotonic() - start
    if p.returncode != 0:
        sys.exit("%s failed (%d):\n%s" % (cmd[0], p.returncode, out.decode(errors="replace")[-3000:]))
    return elapsed, usage.ru_maxrss * 1024, out.decode(errors="replace")


def warm(path):
    with open(path, "rb") as f:
        while f.read(16 << 20):
            pass


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--engine", required=True, help="path of the untrunc executable")
    ap.add_argument("--gb", type=float, default=2.0, help="size of the RSV in gigabytes")
    ap.add_argument("--case", default="bench-avc", help="corpus case to repeat")
    ap.add_argument("--family", choices=("mp4", "mxf"), default="mp4", help="which RSV family")
    ap.add_argument("--dir", default=os.path.join(os.environ.get("TMPDIR", "/tmp"), "tv-engine-bench"))
    ap.add_argument("--runs", type=int, default=3, help="timed runs of each side")
    ap.add_argument("--keep", action="store_true", help="keep the generated RSV for the next run")
    ap.add_argument("--noref", action="store_true", help="repair without the reference clip (-noref)")
    a = ap.parse_args()

    os.makedirs(a.dir, exist_ok=True)
    case = "mxf" if a.family == "mxf" else a.case
    info_path = os.path.join(a.dir, "large.json")
    info = None
    if os.path.exists(info_path):
        with open(info_path) as f:
            info = json.load(f)
        if (abs(info["bytes"] - a.gb * 1e9) > 0.2 * a.gb * 1e9 or not os.path.exists(info["rsv"])
                or info.get("case") != case):
            info = None
    if info is None:
        print("generating a %.1f GB %s RSV in %s ..." % (a.gb, case, a.dir), flush=True)
        info = large_rsv.make(case, a.dir, a.gb)
    rsv, ref = info["rsv"], info["reference"]
    print("RSV: %s (%d bytes, %d complete frames)" % (rsv, info["bytes"], info["complete_frames"]))

    copy_out = os.path.join(a.dir, "copy.rsv")
    fixed_out = os.path.join(a.dir, "fixed.mp4")
    warm(rsv)
    cp_times, engine_times = [], []
    peak = 0
    log = ""

    def run_cp():
        t, _, _ = timed(["cp", rsv, copy_out], copy_out)
        cp_times.append(t)
        os.remove(copy_out)

    def run_engine():
        nonlocal peak, log
        inputs = ["-noref", rsv] if a.noref else [ref, rsv]
        t, rss, log = timed([a.engine, "-n", "-rsv-ben", "-dst", fixed_out] + inputs, fixed_out)
        engine_times.append(t)
        peak = max(peak, rss)
        os.remove(fixed_out)

    try:
        # Alternate which side goes first, so neither always inherits the
        # other's dirty pages or freed blocks.
        for i in range(a.runs):
            for step in ((run_cp, run_engine) if i % 2 == 0 else (run_engine, run_cp)):
                subprocess.run(["sync"], check=True)
                step()
    finally:
        for p in (copy_out, fixed_out):
            if os.path.exists(p):
                os.remove(p)
        if not a.keep:
            shutil.rmtree(a.dir, ignore_errors=True)

    best_cp, best_engine = min(cp_times), min(engine_times)
    ratios = sorted(e / c for e, c in zip(engine_times, cp_times))
    frames = [l for l in log.splitlines() if "frames" in l and l.startswith("Info:")]
    print("\n".join(frames[-2:]))
    print("cp:      %.2f s (%.0f MB/s)" % (best_cp, info["bytes"] / best_cp / 1e6))
    print("untrunc: %.2f s (%.0f MB/s)" % (best_engine, info["bytes"] / best_engine / 1e6))
    print("ratio untrunc / cp: %.2f best-to-best, %.2f median of paired runs (target <= 1.30)"
          % (best_engine / best_cp, ratios[len(ratios) // 2]))
    print("untrunc peak RSS: %.1f MB (target < 256 MB)" % (peak / 1e6))
    return 0


if __name__ == "__main__":
    sys.exit(main())

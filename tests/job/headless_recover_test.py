#!/usr/bin/env python3
"""One recovery through the headless application, with a test engine.

usage: headless_recover_test.py <torvelin-recovery> <resources dir of the build>

Lays out a card and a work volume in a scratch folder, copies the resources
and puts a test engine into them, sends "recover" (and two requests that must
be refused) and checks the sequence of pushed Job states. Exit 77 = skipped.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

ENGINE = r"""#!/bin/sh
printf '%s\n' "$@" > "$(dirname "$0")/args"
echo "Info: reading reference"
for p in 10 40 80; do printf '\r%s%%' $p; sleep 0.1; done
printf '\nInfo: saving\n'
sleep 0.1
for p in 25 100; do printf '\r%s%%' $p; sleep 0.1; done
printf '\nInfo: Duration of %s: 12.0 s\n' "$(basename "$6")"
cp "$6" "$4"
"""

PROGRESS = "window.__progress && window.__progress("
RESOLVE = "window.__resolve && window.__resolve("


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def main():
    exe, built_resources = sys.argv[1], sys.argv[2]
    scratch = tempfile.mkdtemp(prefix="tvjob-headless-")
    try:
        resources = os.path.join(scratch, "resources")
        shutil.copytree(built_resources, resources)
        engine = os.path.join(resources, "untrunc")
        with open(engine, "w") as f:
            f.write(ENGINE)
        os.chmod(engine, 0o755)

        volumes = os.path.join(scratch, "volumes")
        clip = os.path.join(volumes, "CARD", "PRIVATE", "M4ROOT", "CLIP")
        work = os.path.join(volumes, "WORK")
        os.makedirs(clip)
        os.makedirs(work)
        rsv = os.path.join(clip, "C0002.RSV")
        ref = os.path.join(clip, "C0001.MP4")
        data = bytes((i * 131 + i // 7) & 0xFF for i in range(1 << 16)) * 300  # 19.7 MB, 3 chunks
        with open(rsv, "wb") as f:
            f.write(data)
        with open(ref, "wb") as f:
            f.write(b"reference")
        if shutil.disk_usage(work).free < 2 * len(data) + 10_000_000_000:
            print("SKIP: the work volume lacks the 10 GB margin the admission asks for")
            sys.exit(77)

        requests = [
            {"cmd": "recover", "call": 1, "args": {"rsv": rsv, "ref": ref, "vol": work}},
            {"cmd": "recover", "call": 2, "args": {"rsv": rsv + ".gone", "ref": ref, "vol": work}},
            {"cmd": "recover", "call": 3, "args": {"rsv": rsv, "ref": ref, "vol": os.path.join(volumes, "NONE")}},
        ]
        stdin = "".join(json.dumps(r, ensure_ascii=False) + "\n" for r in requests)
        run = subprocess.run([exe, "--headless", "--resources", resources, "--volumes", volumes],
                             input=stdin.encode(), stdout=subprocess.PIPE, timeout=90)
        if run.returncode != 0:
            fail("exit status %d" % run.returncode)

        answers, states = {}, []
        for line in run.stdout.decode().splitlines():
            if line.startswith(RESOLVE):
                env = json.loads(line[len(RESOLVE):-1])
                answers[env["call"]] = env["data"]
            elif line.startswith(PROGRESS):
                states.append(json.loads(line[len(PROGRESS):-1]))

        if answers.get(2) != {"error": "경로를 확인하세요"}:
            fail("call 2: %r" % answers.get(2))
        if answers.get(3) != {"error": "작업 볼륨 여유공간 부족 — 0GB 이상 필요"}:
            fail("call 3: %r" % answers.get(3))
        job_id = answers.get(1, {}).get("id", "")
        if len(job_id) != 8 or any(c not in "0123456789abcdef" for c in job_id):
            fail("call 1: %r" % answers.get(1))
        if not states or any(s["id"] != job_id for s in states):
            fail("states carry another id")

        first = states[0]
        if first["stage"] != "copy" or not first["work_dir"].startswith(work + "/RSV복구_"):
            fail("first state: %r" % first)
        if first["out"] != first["work_dir"] + "/C0002_fixed.MP4":
            fail("out: %r" % first["out"])

        # Walk the states in order: copy progress, recover at 35, engine
        # progress in 35-70 then 70-92, verify at 92, a final error.
        phases = [  # (name, stage, detail prefix, lowest pct, highest pct)
            ("copying", "copy", "복사 중 ", 0.001, 33), ("recover", "recover", "복구 엔진 시작", 35, 35),
            ("reassembly", "recover", "GOP 재조립 ", 35, 70), ("saving", "recover", "MP4 저장 ", 70, 92),
            ("verify", "verify", "", 92, 92), ("error", "error", "", 0, 100)]
        seen = []
        for s in states:
            name, _, _, low, high = next((p for p in phases if s["stage"] == p[1] and s.get("detail", "").startswith(p[2])),
                                         ("other", "", "", 0, 100))
            if not low <= s["pct"] <= high:
                fail("%s: %r" % (name, s))
            if not seen or seen[-1] != name:
                seen.append(name)
        expected = ["other", "copying", "recover", "reassembly", "saving", "verify", "error"]
        if seen != expected:
            fail("phases %r, expected %r" % (seen, expected))
        if not all(s["detail"].endswith(" / 0.0 GB") for s in states if s.get("detail", "").startswith("복사 중 ")):
            fail("copy detail")
        last = states[-1]
        # The copied bytes are no video, so no media reader can find a duration.
        if last["error"] != "복구본 길이를 읽을 수 없습니다":
            fail("final: %r" % last)
        if [s["pct"] for s in states if s["stage"] == "recover"][-1] != 92:
            fail("the engine's 100 % while saving should give 92")

        args = open(os.path.join(resources, "args")).read().split("\n")[:-1]
        if args != ["-n", "-rsv-ben", "-dst", first["out"], ref, first["work_dir"] + "/C0002.RSV"]:
            fail("engine arguments: %r" % args)
        for path in (rsv, first["work_dir"] + "/C0002.RSV", first["out"]):
            with open(path, "rb") as f:
                if f.read() != data:
                    fail("%s differs from the RSV" % path)
        print("ok: %d states" % len(states))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The headless application tells the page when a card comes or goes, refuses
"pick", "choose_folder" and "copy" (there is no window), refuses
"remove_partials" of an unknown job, and answers "open" of a file that is
not there with a sentence instead of "ok".

usage: headless_app_test.py path/to/torvelin-recovery
"""
import json
import os
import select
import subprocess
import sys
import tempfile
import time

app = sys.argv[1]
RESOLVE = "window.__resolve && window.__resolve("
CHANGED = "window.__volumesChanged && window.__volumesChanged({})"


def read_line(proc, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], 0.2)
        if ready:
            return proc.stdout.readline().rstrip("\n")
    raise AssertionError("no line from the application within %ss" % timeout)


def ask(proc, message):
    """Sends a request and returns the envelope the application resolves it with."""
    proc.stdin.write(json.dumps(message) + "\n")
    proc.stdin.flush()
    line = read_line(proc, 10)
    assert line.startswith(RESOLVE) and line.endswith(")"), line
    return json.loads(line[len(RESOLVE):-1])


with tempfile.TemporaryDirectory() as mount:
    os.makedirs(os.path.join(mount, "DISK"))
    proc = subprocess.Popen([app, "--headless", "--volumes", mount], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, bufsize=1)
    try:
        # An answer proves the input is read, and the watch is set up before that.
        got = ask(proc, {"cmd": "open", "call": 1, "args": {"path": mount + "/DISK/absent_fixed.MP4"}})
        assert got == {"call": 1, "data": {"error": "파일을 찾을 수 없습니다 — 작업 볼륨이 연결되어 있는지 확인하세요"}}, got
        os.makedirs(os.path.join(mount, "NEWCARD", "DCIM"))
        assert read_line(proc, 10) == CHANGED
        os.rmdir(os.path.join(mount, "NEWCARD", "DCIM"))
        os.rmdir(os.path.join(mount, "NEWCARD"))
        assert read_line(proc, 10) == CHANGED
        # Writes inside a volume are no volume change.
        with open(os.path.join(mount, "DISK", "note.txt"), "w") as f:
            f.write("x")

        got = ask(proc, {"cmd": "pick", "call": 2, "args": {"rsv": mount + "/DISK/C0001.RSV"}})
        assert got["call"] == 2 and "error" in got["data"], got
        # Without a window there is no folder chooser nor clipboard; every row of
        # the one table answers, and nothing is removed for a job that never was.
        for call, cmd, args in ((3, "choose_folder", {}), (4, "copy", {"text": "x"}),
                                (5, "remove_partials", {"job": "nosuchid"})):
            got = ask(proc, {"cmd": cmd, "call": call, "args": args})
            assert got["call"] == call and "error" in got["data"] and got["data"]["error"] != "unknown cmd", got
        proc.stdin.close()
        rest = proc.stdout.read()
        assert proc.wait(timeout=30) == 0
        assert rest == "", "unexpected output: %r" % rest
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
print("ok")

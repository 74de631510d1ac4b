#!/usr/bin/env bash
# The headless front end answers {"cmd":"scan"} with the Scan result of the
# tree given with --volumes: one window.__resolve line and nothing else.
# usage: headless_scan.sh path/to/torvelin-recovery
set -euo pipefail
app=$1
dir=$(mktemp -d "${TMPDIR:-/tmp}/tv-headless-scan-XXXXXX")
trap 'rm -rf "$dir"' EXIT

mkdir -p "$dir/CARD/PRIVATE/M4ROOT/CLIP" "$dir/.hidden" "$dir/DISK"
truncate -s 1234 "$dir/CARD/PRIVATE/M4ROOT/CLIP/C0001.RSV"
truncate -s 60000000 "$dir/CARD/PRIVATE/M4ROOT/CLIP/C0002.MP4"
touch "$dir/.hidden/C9.RSV"
mkdir -p "$dir/DISK/RSV복구_241206"
truncate -s 1234 "$dir/DISK/RSV복구_241206/C0001.RSV"   # the copy a recovery left

out=$(printf '{"cmd":"scan","call":1}\n' | timeout 60 "$app" --headless --volumes "$dir")

python3 - "$dir" "$out" <<'PY'
import json, sys
root, out = sys.argv[1], sys.argv[2]
lines = out.split("\n")
assert len(lines) == 1, f"expected one line, got {lines!r}"
head = "window.__resolve && window.__resolve("
line = lines[0]
assert line.startswith(head) and line.endswith(")"), line
envelope = json.loads(line[len(head):-1])
assert envelope["call"] == 1, envelope
data = envelope["data"]
assert set(data) == {"rsvs", "volumes", "mount_dir"}, data
assert data["mount_dir"] == root, data
rsv, copy = sorted(data["rsvs"], key=lambda r: r["work_copy"])
assert copy["work_copy"] and copy["vol"] == "DISK", copy
assert rsv["work_copy"] is False, rsv
assert rsv["path"] == root + "/CARD/PRIVATE/M4ROOT/CLIP/C0001.RSV", rsv
assert (rsv["name"], rsv["vol"], rsv["size"]) == ("C0001.RSV", "CARD", 1234), rsv
assert [r["name"] for r in rsv["refs"]] == ["C0002.MP4"], rsv
assert sorted(v["id"] for v in data["volumes"]) == ["CARD", "DISK"], data["volumes"]
for v in data["volumes"]:
    assert v["root"] == root + "/" + v["id"], v
print("ok")
PY

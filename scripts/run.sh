#!/usr/bin/env bash
# Installs what is missing, builds, and starts TORVELIN RECOVERY.
# Arguments go to the application (for example --volumes DIR). With --demo a demo card
# (a generated reference clip and interrupted recording) is laid out in a new temporary
# mount directory first; that directory, and only it, is removed when the application ends.
set -euo pipefail
cd "$(dirname "$0")/.."

demo=0
args=()
for a in "$@"; do
  if [ "$a" = --demo ]; then demo=1; else args+=("$a"); fi
done

scripts/install-deps.sh "$([ $demo = 1 ] && echo demo || echo run)"
scripts/build.sh
app="${BUILD_DIR:-build}/bin/torvelin-recovery"

if [ $demo = 0 ]; then
  exec "$app" "${args[@]}"
fi

demo_dir=$(mktemp -d "${TMPDIR:-/tmp}/torvelin-demo-XXXXXX")
trap 'rm -rf -- "$demo_dir"' EXIT
echo "데모 카드를 만드는 중: $demo_dir" >&2
python3 scripts/make_demo_card.py "$demo_dir" >/dev/null

# The application runs as a child so that an interrupt ends it first and the demo
# folder is still removed afterwards.
"$app" --volumes "$demo_dir" "${args[@]}" &
app_pid=$!
trap 'kill "$app_pid" 2>/dev/null' INT TERM HUP
status=0
while kill -0 "$app_pid" 2>/dev/null; do
  wait "$app_pid" && status=0 || status=$?
done
exit "$status"

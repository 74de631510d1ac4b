#!/usr/bin/env bash
# The installed tree: executable, resources (page and licences under share/, the engine under
# lib/), desktop entry and icon, and the installed executable finding its resources on its own.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf -- "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/torvelin-recovery lib/torvelin-recovery/untrunc share/torvelin-recovery/LICENSES.txt \
         share/torvelin-recovery/web/index.html share/applications/torvelin-recovery.desktop \
         share/icons/hicolor/scalable/apps/torvelin-recovery.svg; do
  [ -e "$prefix/$f" ] || { echo "missing from the installed tree: $f"; echo "0 passed, 1 failed"; exit 1; }
done
grep -q '^Exec=torvelin-recovery$' "$prefix/share/applications/torvelin-recovery.desktop"
answer=$(printf '{"cmd":"licenses","call":1}\n' | "$prefix/bin/torvelin-recovery" --headless)
case "$answer" in
  *'"text":"TORVELIN RECOVERY'*) ;;
  *) echo "the installed application does not find its licences: ${answer:0:200}"; echo "0 passed, 1 failed"; exit 1 ;;
esac
"$prefix/lib/torvelin-recovery/untrunc" --help >/dev/null
echo "1 passed, 0 failed"

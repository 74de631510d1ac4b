#!/usr/bin/env bash
# The Debian package: its file list and fields, the installed application started
# from a throw-away root (dpkg -x) with the resources of that root, and the
# verdicts of desktop-file-validate, appstreamcli and lintian.
# usage: package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tv-package-XXXXXX")
trap 'rm -rf -- "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Build the package from this build tree (no second compile).
if ! cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"; echo "0 passed, 1 failed"; exit 1
fi
deb=$(find "$work/out" -maxdepth 1 -name '*.deb')
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

# The file list: everything Debian's layout asks for, nothing outside /usr,
# no executable under /usr/share, nothing of the build tree.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/list"
for f in /usr/bin/torvelin-recovery \
         /usr/lib/torvelin-recovery/untrunc \
         /usr/share/torvelin-recovery/LICENSES.txt \
         /usr/share/torvelin-recovery/web/index.html \
         /usr/share/applications/torvelin-recovery.desktop \
         /usr/share/metainfo/com.torvelin.recovery.metainfo.xml \
         /usr/share/icons/hicolor/48x48/apps/torvelin-recovery.png \
         /usr/share/icons/hicolor/128x128/apps/torvelin-recovery.png \
         /usr/share/icons/hicolor/256x256/apps/torvelin-recovery.png \
         /usr/share/icons/hicolor/scalable/apps/torvelin-recovery.svg \
         /usr/share/man/man1/torvelin-recovery.1.gz \
         /usr/share/doc/torvelin-recovery/copyright \
         /usr/share/doc/torvelin-recovery/changelog.gz; do
  grep -qxF "$f" "$work/list" || fail "missing from the package: $f"
done
grep -v -e '^/usr/' -e '^/$' "$work/list" | grep . && fail "files outside /usr"
grep -e '^/usr/local' -e '/untrunc$' "$work/list" | grep -v '^/usr/lib/torvelin-recovery/untrunc$' &&
  fail "the engine or /usr/local in the wrong place"
n=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO | grep -acF "$build" || true)
[ "$n" = 0 ] || fail "the package holds build-tree paths"

# Fields: the version is the project's, the dependencies come from dpkg-shlibdeps.
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version $(dpkg-deb -f "$deb" Version), not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libavformat libturbojpeg libglib2.0-0; do
  case "$depends" in *"$lib"*) ;; *) fail "Depends lacks $lib: $depends" ;; esac
done

# The installed application from a throw-away root, with that root's resources:
# a marker added to the root's licence text must come back in the answer.
root=$work/root
dpkg -x "$deb" "$root"
app=$root/usr/bin/torvelin-recovery
[ "$("$app" --version)" = "torvelin-recovery $version" ] || fail "--version: $("$app" --version)"
echo "MARKER-$$-SHIPPED" >>"$root/usr/share/torvelin-recovery/LICENSES.txt"
cards=$work/cards
mkdir -p "$cards/CARD/PRIVATE/M4ROOT/CLIP"
truncate -s 1234 "$cards/CARD/PRIVATE/M4ROOT/CLIP/C0001.RSV"
answer=$(printf '{"cmd":"licenses","call":1}\n{"cmd":"scan","call":2}\n' |
         timeout 60 "$app" --headless --volumes "$cards") || fail "headless run failed"
case "$answer" in *"MARKER-$$-SHIPPED"*) ;; *) fail "licences not from the root: ${answer:0:200}" ;; esac
case "$answer" in *'"name":"C0001.RSV"'*) ;; *) fail "scan did not find the RSV: ${answer:0:300}" ;; esac
# A whole recovery by the unpacked application: it must find its engine under the root's /usr/lib.
status=0
python3 "$(dirname "$0")/../e2e/run_e2e.py" --app "$app" --scenario recover >"$work/e2e.log" 2>&1 || status=$?
[ "$status" = 0 ] || [ "$status" = 77 ] || { cat "$work/e2e.log"; fail "recovery by the unpacked application"; }
zcat "$root/usr/share/man/man1/torvelin-recovery.1.gz" | grep -qF 'TORVELIN_AUTOTEST' || fail "man page lacks the help text"

# Debian's and freedesktop's own judges.
desktop-file-validate "$root/usr/share/applications/torvelin-recovery.desktop" || fail "desktop-file-validate"
grep -qx 'Exec=torvelin-recovery' "$root/usr/share/applications/torvelin-recovery.desktop" || fail "desktop entry Exec"
appstreamcli validate --no-net "$root/usr/share/metainfo/com.torvelin.recovery.metainfo.xml" >"$work/as.log" 2>&1 ||
  { cat "$work/as.log"; fail "appstreamcli validate"; }
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || { fail "lintian"; }
sed 's/^/lintian: /' "$work/lintian.log"

if [ "$failures" -gt 0 ]; then echo "0 passed, 1 failed"; exit 1; fi
echo "1 passed, 0 failed"

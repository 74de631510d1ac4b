#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Only missing packages are installed; a machine that has them all is left untouched.
# Usage: scripts/install-deps.sh [run|demo|package|test|bench]
#   demo adds what the demo card generator uses; package what building the Debian package
#   uses; test adds the tools the test suite uses (the package's checks among them); bench
#   adds the file system tools the volume benchmark formats its loop volumes with.
set -euo pipefail
mode=${1:-run}

pkgs=(cmake g++ pkg-config make
      libgtk-3-dev libwebkit2gtk-4.1-dev
      libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libturbojpeg0-dev
      nlohmann-json3-dev fonts-nanum)
if [ "$mode" = demo ] || [ "$mode" = test ]; then
  pkgs+=(ffmpeg python3)
fi
if [ "$mode" = bench ]; then
  pkgs+=(ffmpeg python3 xfsprogs btrfs-progs)
fi
if [ "$mode" = package ] || [ "$mode" = test ]; then
  pkgs+=(dpkg-dev)  # dpkg-shlibdeps, dpkg-buildflags
fi
if [ "$mode" = test ]; then
  pkgs+=(lintian desktop-file-utils appstream)
  pkgs+=(googletest libgtest-dev xvfb xauth
         clang libclang-rt-14-dev chromium)
  # Node.js may come from another packaging than Debian's; take Debian's only when there is none.
  command -v node >/dev/null 2>&1 || pkgs+=(nodejs)
  command -v npm >/dev/null 2>&1 || pkgs+=(npm)
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

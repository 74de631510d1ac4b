#!/usr/bin/env bash
# Builds a release and its Debian package; prints the package's path as the last line.
# The release is built in build-package/ (or $PACKAGE_BUILD_DIR), kept between runs so a
# second run only rebuilds what changed, with Debian's compiler and linker hardening
# flags (dpkg-buildflags). The package's dependencies are found by dpkg-shlibdeps.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
build=${PACKAGE_BUILD_DIR:-build-package}

eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVELIN_BUILD_TESTS=OFF \
      -DCMAKE_C_FLAGS="$CFLAGS $CPPFLAGS" -DCMAKE_CXX_FLAGS="$CXXFLAGS $CPPFLAGS" \
      -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(find "$build" -maxdepth 1 -name '*.deb')
echo "$(cd "$build" && pwd)/$(basename "$deb")"

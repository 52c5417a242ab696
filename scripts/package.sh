#!/usr/bin/env bash
# Builds the Debian package build/package/vellomar_*.deb: a release build of
# the installed programs only (no tests, no benchmarks) with Debian's
# hardening flags, stripped, its dependencies computed by dpkg-shlibdeps.
# Prints the package's path on the last line.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out="$top/build/package"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cmake -S "$top" -B "$out" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVELLOMAR_BENCHMARKS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DCMAKE_CXX_FLAGS="$cflags" -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$out" -j "$(nproc)" --target installables
rm -f "$out"/vellomar_*.deb
(cd "$out" && cpack -G DEB >/dev/null)
ls "$out"/vellomar_*.deb

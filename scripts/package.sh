#!/usr/bin/env bash
# Builds the Debian packages from this checkout:
#   diagnostics_<version>-<rev>_<arch>.deb      library, service, units, bus files,
#                                               tools, man pages
#   diagnostics-dev_<version>-<rev>_<arch>.deb  headers, CMake package, pkg-config file
# It configures a separate build for the /usr prefix (tests and benchmarks off),
# builds it and runs CPack; dependencies come from dpkg-shlibdeps.
#
# Environment: BUILD_DIR (default <repo>/build-deb), OUT_DIR (default <repo>/dist),
# PACKAGE_SKIP_DEPS=1 to skip the package check.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build-deb}"
OUT_DIR="${OUT_DIR:-$ROOT/dist}"

if [ "${PACKAGE_SKIP_DEPS:-0}" != "1" ]; then
  "$ROOT/scripts/install-deps.sh"
fi

generator=()
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
fi
cmake -S "$ROOT" -B "$BUILD_DIR" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DDA_BUILD_TESTS=OFF -DDA_BUILD_BENCHMARKS=OFF -DDA_BUILD_TOOLS=ON
cmake --build "$BUILD_DIR" -j "$(nproc 2>/dev/null || echo 2)"
mkdir -p "$OUT_DIR"
(cd "$BUILD_DIR" && cpack -G DEB -B "$OUT_DIR")
rm -rf "$OUT_DIR/_CPack_Packages"
ls -1 "$OUT_DIR"/*.deb

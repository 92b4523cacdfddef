#!/usr/bin/env bash
# Remakes packaging/libdiagnostics.order, the list of the library's functions
# that the link lays out together: those a process runs to load the library,
# set up the connection manager and make an availability call as the service
# does (the library child of the footprint check, run under callgrind).
#
# Usage: scripts/hot-layout.sh [BUILD-DIR]   (default: build; needs valgrind)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
valgrind="$(command -v valgrind || true)"
if [ -z "$valgrind" ]; then
  echo "hot-layout: valgrind is needed (apt-get install valgrind)" >&2
  exit 1
fi
cmake --build "$build" --target bench_footprint bench_footprint_library diagnostics >/dev/null
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
DA_FOOTPRINT_LIBRARY_PREFIX="$valgrind --tool=callgrind --demangle=no --compress-strings=no \
--callgrind-out-file=$out/cg.%p" "$build/bench/bench_footprint" >/dev/null 2>&1 || true
ls "$out"/cg.* >/dev/null 2>&1 || { echo "hot-layout: no profile was written" >&2; exit 1; }

# Every function callgrind saw in libdiagnostics, as the section -ffunction-sections
# gives it: .text.NAME, static initialisers in .text.startup.NAME. A complete-object
# constructor or destructor (C1, D1) is an alias of the base one (C2, D2), whose
# name the section carries: both are listed.
awk '
  /^ob=/ { lib = ($0 ~ /libdiagnostics\.so/) }
  /^fn=/ && lib {
    name = substr($0, 4)
    if (name ~ /^0x/) next
    if (name ~ /^_GLOBAL__sub_I_/) { print ".text.startup." name; next }
    print ".text." name
    alias = name
    while (match(alias, /[CD]1[EI]/)) {
      alias = substr(alias, 1, RSTART) "2" substr(alias, RSTART + 2)
    }
    if (alias != name) print ".text." alias
  }' "$out"/cg.* | LC_ALL=C sort -u >packaging/libdiagnostics.order
echo "hot-layout: $(wc -l <packaging/libdiagnostics.order) sections in packaging/libdiagnostics.order"

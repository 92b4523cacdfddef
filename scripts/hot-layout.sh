#!/usr/bin/env bash
# Remakes packaging/libdiagnostics.order, the list of the library's functions
# that the link lays out together: those a process runs to load the library,
# set up the connection manager and make an availability call as the service
# does, and before them those a file upload adds (the library child of the
# footprint check, run under callgrind without and with an upload). gold puts
# the listed functions at the end of the text, next to the read-only data that
# every process reads: the call's functions last, so that a process that only
# makes calls touches no more of the text than before, and an upload's code
# lies next to them rather than spread through the whole text.
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

# Runs the footprint check with its library child under callgrind, writing the
# profiles to $out/$1; $2 is the upload size in MiB (0: the call only).
profile() {
  mkdir -p "$out/$1"
  DA_FOOTPRINT_LIBRARY_PREFIX="$valgrind --tool=callgrind --dump-instr=yes --compress-pos=no --compress-strings=no \
--callgrind-out-file=$out/$1/cg.%p" "$build/bench/bench_footprint" "$2" >/dev/null 2>&1 || true
  ls "$out/$1"/cg.* >/dev/null 2>&1 || { echo "hot-layout: no profile was written" >&2; exit 1; }
}

# The library's functions, one "START END NAME" line each (decimal addresses).
nm -S --defined-only "$build/libdiagnostics.so" |
  awk '$3 ~ /^[tTwW]$/ { s = ("0x" $1) + 0; printf "%.0f %.0f %s\n", s, s + ("0x" $2), $4 }' \
  >"$out/functions"

# The section -ffunction-sections gave each function whose instructions ran in
# the profiles of $1: .text.NAME; static initialisers in .text.startup.NAME; the
# part of a function GCC moved out as unlikely (NAME.cold), when it runs all the
# same, in .text.unlikely.NAME. Aliases (a complete-object constructor C1 and
# the base one C2, whose name the section carries) share their address, and all
# their names are listed.
sections() {
  {
    awk '/^ob=/ { lib = ($0 ~ /libdiagnostics\.so/) }
         lib && /^0x/ { printf "%.0f\n", $1 + 0 }' "$1"/cg.* | LC_ALL=C sort -u |
      awk '{ print $1, "ran" }'
    awk '{ print $1, "start", $2, $3 }' "$out/functions"
  } | LC_ALL=C sort -k1,1n -k2,2r |
    awk '
      $2 == "start" {
        if ($1 != start) { start = $1; n = 0 }
        end = $3; names[++n] = $4; used = 0; next
      }
      $1 < end && !used { for (i = 1; i <= n; ++i) print names[i]; used = 1 }' |
    awk '
      /^_GLOBAL__sub_I_/ { print ".text.startup." $0; next }
      /\.cold$/ { print ".text.unlikely." substr($0, 1, length($0) - 5); next }
      { print ".text." $0 }' | LC_ALL=C sort -u
}

profile call 0
profile upload 1
sections "$out/call" >"$out/call.txt"
sections "$out/upload" >"$out/upload.txt"
{
  LC_ALL=C comm -13 "$out/call.txt" "$out/upload.txt"
  cat "$out/call.txt"
} >packaging/libdiagnostics.order
echo "hot-layout: $(($(wc -l <packaging/libdiagnostics.order) - $(wc -l <"$out/call.txt")))" \
  "sections for an upload, then $(wc -l <"$out/call.txt") for a call," \
  "in packaging/libdiagnostics.order"

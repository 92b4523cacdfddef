#!/usr/bin/env bash
# Instructions one availability call costs inside the process that serves it:
# diagnosticsd against the minimal service that makes the same POST with one
# kept libcurl handle (the floor of any service that POSTs before it answers).
#
# Wall-clock ratios on a shared machine move by several per cent from run to
# run; instruction counts do not. bench_availability runs twice, with
# SMALL and LARGE calls, while both services run under callgrind; the
# difference between the two runs, divided by the difference in calls, is the
# cost of one call without the start-up. Printed per process, with the shares
# of the libraries the instructions ran in, and the ratio of the two.
#
# Usage: scripts/call-instructions.sh [BUILD-DIR] [SMALL LARGE]
#        (default: build 100 300; needs valgrind and python3)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
small="${2:-100}"
large="${3:-300}"
for tool in valgrind python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "call-instructions: $tool is needed" >&2
    exit 1
  fi
done
cmake --build "$build" --target bench_availability diagnosticsd >/dev/null
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

for calls in "$small" "$large"; do
  mkdir -p "$out/$calls"
  BENCH_SERVICE_WRAPPER="$(command -v valgrind) --tool=callgrind --callgrind-out-file=$out/$calls/%p.out" \
    "$build/bench/bench_availability" "$calls" >"$out/$calls.log" 2>&1 || {
    echo "call-instructions: bench_availability failed; its output:" >&2
    cat "$out/$calls.log" >&2
    exit 1
  }
done

python3 - "$out" "$small" "$large" <<'PY'
import collections, glob, os, re, sys

out, small, large = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

def profile(path):
    """The program's command line, and its instructions per object file."""
    cmd, per_object, obj = "", collections.Counter(), "?"
    names, in_call = {}, False
    for line in open(path, errors="replace"):
        if line.startswith("cmd:"):
            cmd = line[4:].strip()
            continue
        m = re.match(r"^(c?ob)=\((\d+)\)(?: (.*))?$", line)
        if m:
            kind, key, name = m.groups()
            if name:
                names[key] = name.strip()
            if kind == "ob":
                obj = names.get(key, "?")
            continue
        if line.startswith("calls="):
            in_call = True  # the next cost line is inclusive cost of a call
            continue
        if line[:1].isdigit() or line[:1] in "+-*":
            if in_call:
                in_call = False
                continue
            parts = line.split()
            if len(parts) >= 2 and parts[1].isdigit():
                per_object[os.path.basename(obj)] += int(parts[1])
    return cmd, per_object

def runs(calls):
    found = {}
    for path in glob.glob(f"{out}/{calls}/*.out*"):
        cmd, objects = profile(path)
        who = "diagnosticsd" if "diagnosticsd" in cmd else \
              "minimal" if "cold_start_anchor" in cmd else None
        if who:
            found.setdefault(who, collections.Counter()).update(objects)
    return found

a, b = runs(small), runs(large)
per_call = {}
for who in ("diagnosticsd", "minimal"):
    if who not in a or who not in b:
        sys.exit(f"call-instructions: no profile of {who}")
    diff = {o: (b[who][o] - a[who].get(o, 0)) / (large - small) for o in b[who]}
    per_call[who] = diff
    total = sum(diff.values())
    print(f"{who:14s} {total:10.0f} instructions per call")
    for o, v in sorted(diff.items(), key=lambda kv: -kv[1])[:8]:
        if v >= 0.01 * total:
            print(f"    {o:40s} {v:9.0f}  {100 * v / total:5.1f}%")
ratio = sum(per_call["diagnosticsd"].values()) / sum(per_call["minimal"].values())
print(f"ratio diagnosticsd / minimal service {ratio:.2f}")
PY

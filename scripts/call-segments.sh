#!/usr/bin/env bash
# Where an availability call's time goes, measured inside the processes that
# serve it. bench_availability runs in the background while perf records the
# system calls of diagnosticsd and of the minimal service that POSTs (the floor
# of any service that POSTs before it answers). Each call is cut at its system
# calls into three parts, printed as medians for both processes:
#
#   before  the call read from the bus -> the HTTP request handed to the socket
#           (the bus message, the serial number, the preferences, the request)
#   http    the request sent -> the last bytes of the reply read
#   after   the reply read -> the answer sent on the bus
#
# "split" is the share of calls whose reply came in more than one read.
# Tracing costs every system call a little, in both processes alike.
#
# Usage: scripts/call-segments.sh [BUILD-DIR]   (default: build; needs perf and
# the right to trace other processes, e.g. root)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
if ! command -v perf >/dev/null; then
  echo "call-segments: perf is needed (apt-get install linux-perf)" >&2
  exit 1
fi
cmake --build "$build" --target bench_availability >/dev/null
out="$(mktemp -d)"
bench_pid=""
cleanup() {
  if [ -n "$bench_pid" ]; then
    kill "$bench_pid" 2>/dev/null || true
    wait "$bench_pid" 2>/dev/null || true
  fi
  rm -rf "$out"
}
trap cleanup EXIT

# About six seconds of calls: the warm-up, the two seconds recorded, and the
# rest, after which the benchmark ends by itself and takes its bus down.
"$build/bench/bench_availability" 2500 >/dev/null 2>&1 &
bench_pid=$!
service="" floor=""
for _ in $(seq 100); do
  service="$(pgrep -n -x diagnosticsd || true)"
  floor="$(pgrep -n -f 'bench_cold_start_anchor com' || true)"
  [ -n "$service" ] && [ -n "$floor" ] && break
  sleep 0.1
done
if [ -z "$service" ] || [ -z "$floor" ]; then
  echo "call-segments: the services did not start" >&2
  exit 1
fi
sleep 1.5  # past the warm-up calls
events="syscalls:sys_exit_recvmsg,syscalls:sys_enter_sendto,syscalls:sys_exit_recvfrom"
events="$events,syscalls:sys_enter_sendmsg"
perf record -q -e "$events" -p "$service" -o "$out/service.data" -- sleep 2 2>/dev/null &
perf record -q -e "$events" -p "$floor" -o "$out/floor.data" -- sleep 2 2>/dev/null &
wait %2 %3 2>/dev/null || true
wait "$bench_pid" || true
bench_pid=""

# One line per call: total before http after reads, in microseconds. A call
# starts with the first bus message read after the last answer.
calls() {
  perf script -i "$1" -F time,event,trace 2>/dev/null | awk '
    # Return values come in hex; an error (a negative number) as 0xfff...
    { t = $1; sub(/:$/, "", t); t *= 1e6; ev = $2; ret = ($NF ~ /^0xffffffff/) ? -1 : $NF + 0 }
    ev ~ /sys_exit_recvmsg/ { if (ret > 0 && !started) { started = 1; t0 = t; sent = 0; reads = 0 } next }
    ev ~ /sys_enter_sendto/ { if (started && !sent) { sent = t } next }
    ev ~ /sys_exit_recvfrom/ { if (started && sent && ret > 0) { last = t; ++reads } next }
    ev ~ /sys_enter_sendmsg/ {
      if (started && sent && reads > 0) printf "%.1f %.1f %.1f %.1f %d\n", t - t0, sent - t0, last - sent, t - last, reads
      started = 0
    }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print "-" }'; }

report() {
  local name="$1" file="$2"
  calls "$file" >"$out/$name.calls"
  local n
  n="$(wc -l <"$out/$name.calls")"
  if [ "$n" -eq 0 ]; then
    printf '%-28s no calls recorded\n' "$name"
    return
  fi
  printf '%-28s calls %5d  total %6s  before %6s  http %6s  after %6s  split %.2f\n' "$name" "$n" \
    "$(cut -d' ' -f1 "$out/$name.calls" | median)" "$(cut -d' ' -f2 "$out/$name.calls" | median)" \
    "$(cut -d' ' -f3 "$out/$name.calls" | median)" "$(cut -d' ' -f4 "$out/$name.calls" | median)" \
    "$(awk '$5 > 1 { ++s } END { print s / NR }' "$out/$name.calls")"
}

echo "availability call inside the serving process, medians in microseconds"
report diagnosticsd "$out/service.data"
report "minimal service that POSTs" "$out/floor.data"

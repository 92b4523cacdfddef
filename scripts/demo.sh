#!/usr/bin/env bash
# End-to-end demonstration of the diagnostics agent on one machine:
#   1. installs the build dependencies (scripts/install-deps.sh) and builds
#      diagnosticsd, diagnosticsctl and diagnostics-refserver;
#   2. starts a private session bus that can start diagnosticsd on demand, and
#      the reference diagnostics server on a free loopback port;
#   3. points the agent's preferences at that server and gives the device a
#      serial number through an answers file;
#   4. asks the service twice: the first answer is a new session identifier,
#      which is then stored as "currentSessionID"; the second answer must be
#      "IN_CURRENT_SESSION".
# Everything it starts is stopped on exit, Ctrl-C included. Exits non-zero when an answer is not
# the expected one.
#
# Environment: BUILD_DIR (default <repo>/build), BUILD_TYPE (default RelWithDebInfo, as scripts/test.sh),
# DEMO_SKIP_DEPS=1 to skip the package check.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
DOMAIN="com.tarvo.Diagnostics"
BUS_NAME="com.tarvo.Diagnostics.SessionAvailability"
SERIAL="DEMO4KELO0042"

say() { printf 'demo: %s\n' "$*"; }
die() {
  printf 'demo: FAILED: %s\n' "$*" >&2
  exit 1
}

case "$BUILD_DIR" in
  *[[:space:]]*) die "the build directory must not contain blanks: $BUILD_DIR" ;;
esac

WORK=""
SERVER_PID=""
BUS_PID=""
BUS_ADDRESS=""

# Stops one process: TERM, up to 2 s of grace, then KILL.
stop_pid() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 40); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
}

# Runs on every exit, Ctrl-C included: stops the service, the server and the
# bus that this script started and removes its directory. Further signals are
# ignored meanwhile, so a second Ctrl-C cannot cut the clean-up short.
cleanup() {
  local rc=$?
  trap '' INT TERM HUP
  set +e
  if [ -n "$WORK" ]; then
    # The service first (its wrapper records its pid), while its bus still runs.
    stop_pid "$(cat "$WORK/service.pid" 2>/dev/null)"
  fi
  stop_pid "$SERVER_PID"
  stop_pid "$BUS_PID"
  # Any other background job (a signal may arrive before its pid was recorded).
  for pid in $(jobs -p); do stop_pid "$pid"; done
  wait 2>/dev/null
  if [ -n "$WORK" ]; then
    if [ "$rc" -ne 0 ] && [ -s "$WORK/logs/Diagnostics.log" ]; then
      echo "demo: service log ($WORK/logs/Diagnostics.log):" >&2
      tail -n 20 "$WORK/logs/Diagnostics.log" >&2
    fi
    rm -rf "$WORK"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
WORK="$(mktemp -d "${TMPDIR:-/tmp}/diagnostics-demo.XXXXXX")"

# --- 1. dependencies and build ------------------------------------------------
if [ "${DEMO_SKIP_DEPS:-0}" != "1" ]; then
  say "checking the build dependencies (scripts/install-deps.sh)"
  "$ROOT/scripts/install-deps.sh"
fi

say "building diagnosticsd, diagnosticsctl and diagnostics-refserver in $BUILD_DIR"
generator=()
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
fi
cmake -S "$ROOT" -B "$BUILD_DIR" "${generator[@]}" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" \
  -DDA_BUILD_TOOLS=ON >"$WORK/cmake.log" 2>&1 || { cat "$WORK/cmake.log" >&2; die "cmake configure"; }
jobs="$(nproc 2>/dev/null || echo 2)"
cmake --build "$BUILD_DIR" --target diagnosticsd diagnosticsctl diagnostics-refserver \
  -j "$jobs" || die "build"

DAEMON="$BUILD_DIR/service/diagnosticsd"
CTL="$BUILD_DIR/tools/ctl/diagnosticsctl"
REFSERVER="$BUILD_DIR/tools/refserver/diagnostics-refserver"
for f in "$DAEMON" "$CTL" "$REFSERVER"; do
  [ -x "$f" ] || die "missing program $f"
done

# --- 2. private bus and reference server ----------------------------------------
# Waits up to ~10 s for a file to contain a line matching a pattern.
wait_for_line() {
  local file=$1 pattern=$2
  for _ in $(seq 1 200); do
    if grep -qE "$pattern" "$file" 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  return 1
}

mkdir -p "$WORK/services" "$WORK/prefs" "$WORK/logs"
export DA_PREFERENCES_DIR="$WORK/prefs"
export DA_DEVICE_ANSWERS="$WORK/answers.json"
export DA_LOG_DIR="$WORK/logs"

cat >"$WORK/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$WORK/bus</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$WORK/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF

# The bus starts the service through this wrapper, which records the service's
# process id for the clean-up.
cat >"$WORK/run-service" <<EOF
#!/bin/sh
echo \$\$ >"$WORK/service.pid"
exec /usr/bin/env DA_PREFERENCES_DIR="$DA_PREFERENCES_DIR" DA_DEVICE_ANSWERS="$DA_DEVICE_ANSWERS" \\
  DA_LOG_DIR="$DA_LOG_DIR" "$DAEMON"
EOF
chmod 0755 "$WORK/run-service"
cat >"$WORK/services/$BUS_NAME.service" <<EOF
[D-BUS Service]
Name=$BUS_NAME
Exec=$WORK/run-service
EOF

dbus-daemon --config-file="$WORK/bus.conf" --nofork --nopidfile --print-address=1 \
  >"$WORK/bus.address" 2>"$WORK/bus.log" &
BUS_PID=$!
wait_for_line "$WORK/bus.address" '^unix:' || die "the private bus did not start ($(cat "$WORK/bus.log"))"
BUS_ADDRESS="$(head -n 1 "$WORK/bus.address")"
say "private session bus at $BUS_ADDRESS (diagnosticsd is started on demand)"

"$REFSERVER" --host 127.0.0.1 --port 0 >"$WORK/refserver.out" 2>"$WORK/refserver.log" &
SERVER_PID=$!
wait_for_line "$WORK/refserver.out" 'listening on 127\.0\.0\.1:[0-9]+' ||
  die "the reference server did not start ($(cat "$WORK/refserver.log"))"
PORT="$(sed -nE 's/.*listening on 127\.0\.0\.1:([0-9]+).*/\1/p' "$WORK/refserver.out" | head -n 1)"
SERVER_URL="http://127.0.0.1:$PORT/kelo/v1.01/"
say "reference diagnostics server at $SERVER_URL"

# --- 3. configuration ------------------------------------------------------------
"$CTL" prefs set --type uint "$DOMAIN" Server 5
"$CTL" prefs set "$DOMAIN" CustomServerURL "$SERVER_URL"
printf '{"SerialNumber": "%s"}\n' "$SERIAL" >"$DA_DEVICE_ANSWERS"
say "preferences: Server=5, CustomServerURL=$SERVER_URL; device serial number $SERIAL"

# --- 4. the two availability requests ----------------------------------------------
first="$("$CTL" check --bus-address "$BUS_ADDRESS" --timeout 40)" || die "first check gave no answer"
say "1st check -> $first"
[ -n "$first" ] && [ "$first" != "IN_CURRENT_SESSION" ] ||
  die "expected a new session identifier, got \"$first\""

"$CTL" prefs set "$DOMAIN" currentSessionID "$first"
say "stored currentSessionID=$first"

second="$("$CTL" check --bus-address "$BUS_ADDRESS" --timeout 40)" || die "second check gave no answer"
say "2nd check -> $second"
[ "$second" = "IN_CURRENT_SESSION" ] || die "expected IN_CURRENT_SESSION, got \"$second\""

say "OK: a new session was reported, then recognised as the current one"

#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/targets/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz/) and runs each for SECONDS seconds
# (default 60), starting from its corpus in fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# New inputs that add coverage are merged back, minimized, into
# fuzz/corpus/<target>/ (commit them). A crash or a broken invariant leaves its
# input in build-fuzz/findings/<target>/; once the fault is fixed, move the
# input to fuzz/crashes/<target>/ so that the normal test suite replays it.
# Exit status 1 when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

seconds="${1:-60}"
shift || true
case "$seconds" in
  '' | *[!0-9]*)
    echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2
    exit 2
    ;;
esac

bash scripts/install-deps.sh
missing=()
for p in clang-14 libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build="$root/build-fuzz"
cmake_args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14)
if command -v ccache >/dev/null; then
  cmake_args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S fuzz -B "$build" "${cmake_args[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/targets/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

max_corpus=300
status=0
for t in "${targets[@]}"; do
  corpus="$root/fuzz/corpus/$t"
  work="$build/work/$t"
  findings="$build/findings/$t"
  mkdir -p "$corpus" "$work/new" "$findings"
  extra=()
  # The file readers report every unreadable file on stderr; keep libFuzzer's
  # own output (and the sanitizers') readable.
  case "$t" in preferences | device_answers) extra+=(-close_fd_mask=2) ;; esac
  echo "== fuzz_$t for ${seconds}s"
  # Each target runs in its own working directory (its private files go there).
  if ! (cd "$work" && "$build/fuzz_$t" -max_total_time="$seconds" -max_len=4096 -timeout=20 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" "${extra[@]}" \
    "$work/new" "$corpus" >"$work/log" 2>&1); then
    echo "   FOUND a fault; input and log in $findings/ and $work/log" >&2
    tail -n 40 "$work/log" >&2
    status=1
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$work/log" | sed 's/^/   /' || true
  # Keep only the inputs that add coverage: merge the run's new inputs into a
  # fresh minimal corpus.
  merged="$work/merged"
  rm -rf "$merged" && mkdir -p "$merged"
  (cd "$work" && "$build/fuzz_$t" -merge=1 -max_len=4096 "${extra[@]}" "$merged" "$corpus" "$work/new" \
    >"$work/merge.log" 2>&1) || true
  if [ -n "$(ls -A "$merged")" ]; then
    rm -rf "$corpus" && mv "$merged" "$corpus"
  fi
  # The replay runs in every test run: keep at most $max_corpus inputs, the
  # smallest ones.
  (cd "$corpus" && ls -S | head -n -"$max_corpus" | xargs -r rm -f)
  rm -rf "$work/new"
  echo "   corpus: $(ls "$corpus" | wc -l) inputs"
done
exit $status

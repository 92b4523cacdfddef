#!/usr/bin/env bash
# Builds everything (library, service, tools, tests, benchmarks) and runs the
# whole test suite. Installs missing Debian packages first.
#
#   scripts/test.sh                      default build in build/ (GCC, RelWithDebInfo)
#   scripts/test.sh --sanitize=address   AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   scripts/test.sh --sanitize=thread    ThreadSanitizer, in build-tsan/
#
# The sanitizer builds skip the benchmarks, stop at the first report of any
# kind, and use the suppression files in sanitizers/ (third-party faults only).
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
for arg in "$@"; do
  case "$arg" in
    --sanitize=address | --sanitize=thread) sanitize="${arg#--sanitize=}" ;;
    --sanitize) sanitize="address" ;;
    -h | --help)
      sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "test.sh: unknown option $arg (try --help)" >&2
      exit 2
      ;;
  esac
done

bash scripts/install-deps.sh

cmake_args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
if command -v ccache >/dev/null; then
  cmake_args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

supp="$PWD/sanitizers"
case "$sanitize" in
  address)
    build_dir="${DA_BUILD_DIR:-build-asan}"
    # GCC's -Wmaybe-uninitialized gives false alarms inside libstdc++'s regex
    # (used by cpp-httplib) when instrumented for AddressSanitizer.
    flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -Wno-maybe-uninitialized"
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
    ;;
  thread)
    build_dir="${DA_BUILD_DIR:-build-tsan}"
    flags="-fsanitize=thread -fno-omit-frame-pointer"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp:print_suppressions=0${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
    ;;
  *)
    build_dir="${DA_BUILD_DIR:-build}"
    flags=""
    ;;
esac

if [ -n "$sanitize" ]; then
  cmake_args+=(-DDA_BUILD_BENCHMARKS=OFF
    "-DCMAKE_CXX_FLAGS=$flags"
    "-DCMAKE_EXE_LINKER_FLAGS=$flags"
    "-DCMAKE_SHARED_LINKER_FLAGS=$flags")
fi

cmake -S . -B "$build_dir" "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout 300

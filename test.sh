#!/usr/bin/env bash
# Installs what is missing, builds and runs every test through ctest.
# --sanitize builds with the address and undefined-behaviour sanitizers in build-sanitize/.
# --tsan builds with the thread sanitizer in build-tsan/.
# MOULD_TEST_JOBS sets how many compilers and tests run at once (default: one per core).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
jobs="${MOULD_TEST_JOBS:-$(nproc)}"
if ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then
  echo "MOULD_TEST_JOBS must be a number of jobs, not '$jobs'" >&2
  exit 2
fi
build="$here/build"
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  build="$here/build-sanitize"
  options+=(-DMOULD_SANITIZE=ON)
  # Qt's platform plugins keep allocations until exit that LeakSanitizer would report.
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
  shift
elif [ "${1:-}" = "--tsan" ]; then
  build="$here/build-tsan"
  options+=(-DMOULD_TSAN=ON)
  # Qt is not built with it: what Qt's own modules do is left out of the reports (tools/tsan/).
  export TSAN_OPTIONS="${TSAN_OPTIONS:-ignore_noninstrumented_modules=1 suppressions=$here/tools/tsan/tsan.supp}"
  shift
fi
"$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" -j"$jobs"
cd "$build"
ctest --output-on-failure -j"$jobs" "$@"

#!/usr/bin/env bash
# Installs what is missing, builds and runs every test through ctest.
# --sanitize builds with the address and undefined-behaviour sanitizers in build-sanitize/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build="$here/build"
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  build="$here/build-sanitize"
  options+=(-DMOULD_SANITIZE=ON)
  # Qt's platform plugins keep allocations until exit that LeakSanitizer would report.
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
  shift
fi
"$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"

#!/usr/bin/env bash
# Builds the libFuzzer harness of the repeated-name scan with clang in build-fuzz/ and runs it.
#   tools/fuzz/run.sh [runs [jobs]]     default 10000000 runs on 2 jobs; 0 runs: build only
# The corpus grows in build-fuzz/corpus; a disagreement stops the run and leaves crash-* there.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build="$repo/build-fuzz"
runs=${1:-10000000}
jobs=${2:-2}

missing=()
for p in clang libclang-rt-dev qtbase5-dev cmake; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs"
[ "$runs" -eq 0 ] && exit 0

mkdir -p "$build/corpus"
cd "$build"
# Each job does its share of the runs; the job logs are fuzz-<n>.log.
per_job=$(( (runs + jobs - 1) / jobs ))
# Leak detection stays on: a merge the scan missed, with an array or object for a value, is a
# leak of Qt's before it is a miscount.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
./networkjson_fuzz -runs="$per_job" -max_len=512 -jobs="$jobs" -workers="$jobs" corpus

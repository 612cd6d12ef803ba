#!/usr/bin/env bash
# Installs what is missing, builds and runs the mould monitor in ./var with simulated cameras.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" --target mouldmonitor export_result_statistics -j"$(nproc)"
mkdir -p "$here/var/cnt_net/export_result_statistics" "$here/var/images"
# The exporter stand-in at the path the program runs it from, and the screens' images.
cp -f "$here/build/cnt_net/export_result_statistics/export_result_statistics" "$here/var/cnt_net/export_result_statistics/"
cp -f "$here"/images/*.png "$here/var/images/"
cd "$here/var"
exec "$here/build/mouldmonitor" "$@"

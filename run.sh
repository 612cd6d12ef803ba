#!/usr/bin/env bash
# Installs what is missing, builds and runs the mould monitor in ./var with simulated cameras.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" --target mouldmonitor export_result_statistics -j"$(nproc)"
mkdir -p "$here/var/cnt_net/zuzad_evurevi" "$here/var/cnt_net/export_result_statistics" "$here/var/images"
# The stand-ins go where the program runs them from: the companion once the network switch is on,
# the exporter on a statistics export; and the screens' images.
install -m 755 "$here/build/zuzad_evurevi" "$here/var/cnt_net/zuzad_evurevi/zuzad_evurevi"
install -m 755 "$here/build/cnt_net/export_result_statistics/export_result_statistics" "$here/var/cnt_net/export_result_statistics/"
cp -f "$here"/images/*.png "$here/var/images/"
# The network-card script stand-in, where the program runs it from.
cp "$here/build/standins/durad20_upnetcard.py" "$here/var/cnt_net/durad20_upnetcard.py"
cd "$here/var"
exec "$here/build/mouldmonitor" "$@"

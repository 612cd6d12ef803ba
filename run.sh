#!/usr/bin/env bash
# Installs what is missing, builds and runs the mould monitor in ./var with simulated cameras.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" --target mouldmonitor -j"$(nproc)"
mkdir -p "$here/var/cnt_net/zuzad_evurevi"
# The stand-in companion goes where the program starts it from once the network switch is on.
install -m 755 "$here/build/zuzad_evurevi" "$here/var/cnt_net/zuzad_evurevi/zuzad_evurevi"
cd "$here/var"
exec "$here/build/mouldmonitor" "$@"

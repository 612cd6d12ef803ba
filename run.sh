#!/usr/bin/env bash
# Installs what is missing, builds and runs the mould monitor in ./var with simulated cameras.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" --target mouldmonitor -j"$(nproc)"
mkdir -p "$here/var/cnt_net"
# The network-card script stand-in, where the program runs it from.
cp "$here/build/standins/durad20_upnetcard.py" "$here/var/cnt_net/durad20_upnetcard.py"
cd "$here/var"
exec "$here/build/mouldmonitor" "$@"

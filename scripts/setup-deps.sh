#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when one is missing.
# --bench also installs what the benchmarks under tools/bench compare against (nginx-light, wrk).
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qtbase5-dev qtbase5-private-dev libqt5sql5-sqlite libqt5websockets5-dev libqt5xml5
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
  libgoogle-glog-dev libgtest-dev
  sqlite3 curl mbpoll libmodbus-dev
  fonts-wqy-microhei
  iproute2 python3 python3-websockets
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(nginx-light wrk)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"

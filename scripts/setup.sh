#!/usr/bin/env bash
# Installs what is missing of the Debian packages the project needs, then builds
# both native modules into the package tree. Run as root on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(g++ cmake ninja-build python3 python3-dev pybind11-dev python3-fastapi python3-uvicorn
          python3-websockets python3-numpy python3-pandas python3-pytest python3-pytest-asyncio python3-httpx python3-packaging
          nodejs node-ws)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y "${missing[@]}"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DPYTHON_EXECUTABLE=/usr/bin/python3 >/dev/null
ninja -C build

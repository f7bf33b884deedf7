#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test headless.
# WEIGHBRIDGE_SANITIZE=1 builds and runs the suite under ASan and UBSan instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build="$root/build"
extra=()
if [[ "${WEIGHBRIDGE_SANITIZE:-0}" == 1 ]]; then
  build="$root/build-asan"
  extra=(-DWEIGHBRIDGE_SANITIZE=ON)
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build "$build"
export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure -j2 --timeout 600

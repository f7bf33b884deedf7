#!/usr/bin/env bash
# Installs what building and running the program needs (when missing), builds the program
# alone and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" run
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWEIGHBRIDGE_TESTS=OFF \
  >/dev/null
cmake --build "$root/build" --target weighbridge
exec "$root/build/src/app/weighbridge"

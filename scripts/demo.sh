#!/usr/bin/env bash
# A demonstration without a scale: installs what is missing, builds a demo copy of the
# program whose port 1 is a pseudo-terminal, plays the weighing indicator on it with the
# simulator (trucks drive on, the reading settles, they drive off, the next comes) and
# starts the program. Everything stays in build-demo/ (the build) and demo/ (the program,
# its line and the workbooks "保存" writes); the main build in build/ is not touched.
# Closing the window ends the simulator too.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-demo"
demo="$root/demo"

"$root/scripts/setup.sh" demo
mkdir -p "$demo"
# Port 1 is the simulator's line, whatever serial adapter this computer may have; no tests
# and no optimisation, so that the first build is quick.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE= -DWEIGHBRIDGE_TESTS=OFF \
  -DWEIGHBRIDGE_COM1="$demo/com1" -DWEIGHBRIDGE_COM1_LINK= >/dev/null
cmake --build "$build" --target weighbridge indicator_sim
# The program keeps its workbooks beside itself: the demo's copy lives in demo/.
cp "$build/src/app/weighbridge" "$demo/weighbridge"

rm -f "$demo/com1"
"$build/tools/indicator_sim" --pty --link "$demo/com1" --mode stream --fps 2 --zero \
  --lead-ms 1500 --stay --quiet >"$demo/simulator.out" &
simulator=$!
trap 'kill "$simulator" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  [[ -e "$demo/com1" ]] && break
  sleep 0.1
done

echo "Demo: weights on port 1 ($demo/com1); \"保存\" writes today's workbook into $demo/"
"$demo/weighbridge"

#!/usr/bin/env bash
# Runs every benchmark of a build one after the other and prints their figures (medians of
# several runs each). Run it on a quiet machine: nothing else should be using the CPU.
#
#   bench/run_all.sh [BUILD]      (default build/)
# bench_store also measures a LibreOffice-written day's workbook when LO_DAY_XLS names one
# (bench/make_lo_day.sh makes it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
export QT_QPA_PLATFORM=offscreen
for bench in bench/bench_link bench/bench_store bench/bench_viewer bench/workbook/bench_workbook; do
  echo "== $bench"
  if [[ $bench == bench/bench_store && -n ${LO_DAY_XLS:-} ]]; then
    "$build/$bench" 7 "$LO_DAY_XLS"
  else
    "$build/$bench"
  fi
done

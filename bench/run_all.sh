#!/usr/bin/env bash
# Builds the benchmarks (g++, optimised, into build/ unless BUILD is given; the test
# command's sanitized build has none), runs them one after the other and prints their
# figures (medians of several runs each). Run it on a quiet machine: nothing else should be
# using the CPU.
#
#   bench/run_all.sh [BUILD]      (default build/)
# bench_store also measures a LibreOffice-written day's workbook when LO_DAY_XLS names one
# (bench/make_lo_day.sh makes it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWEIGHBRIDGE_TESTS=ON \
  -DWEIGHBRIDGE_SANITIZE=OFF -DWEIGHBRIDGE_IN_PROCESS_ONLY=OFF >/dev/null
cmake --build "$build" --target bench_link bench_store bench_viewer bench_workbook
export QT_QPA_PLATFORM=offscreen
# CHEAP_PAGES=1: the heap in huge pages (glibc 2.35 and later), so that a fresh page costs what
# it costs on a machine whose page faults are cheap; bench_store prints both costs.
if [[ ${CHEAP_PAGES:-0} == 1 ]]; then export GLIBC_TUNABLES=glibc.malloc.hugetlb=1; fi
for bench in bench/bench_link bench/bench_store bench/bench_viewer bench/workbook/bench_workbook; do
  echo "== $bench"
  if [[ $bench == bench/bench_store && -n ${LO_DAY_XLS:-} ]]; then
    "$build/$bench" 7 "$LO_DAY_XLS"
  else
    "$build/$bench"
  fi
done

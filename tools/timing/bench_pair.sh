#!/usr/bin/env bash
# bench_pair.sh BEFORE_BUILD AFTER_BUILD [LO_DAY_XLS]: the store, workbook and viewer
# benchmarks of two builds (each configured with the tests, g++, RelWithDebInfo), alternating,
# three rounds; bench/make_lo_day.sh makes the LibreOffice day's workbook.
set -u
before=$1 after=$2 lo=${3:-/tmp/lo_day50k.xls}
export QT_QPA_PLATFORM=offscreen
# CHEAP_PAGES=1: the heap in huge pages (glibc 2.35 and later), so that a fresh page costs what
# it costs on a machine whose page faults are cheap; bench_store prints both costs.
if [[ ${CHEAP_PAGES:-0} == 1 ]]; then export GLIBC_TUNABLES=glibc.malloc.hugetlb=1; fi
for round in 1 2 3; do
  for who in before after; do
    if [[ $who == before ]]; then b=$before; else b=$after; fi
    echo "=== round $round $who"
    "$b/bench/bench_store" 7 "$lo" 2>/dev/null
    "$b/bench/workbook/bench_workbook" 5 2>/dev/null
    "$b/bench/bench_viewer" 2>/dev/null
  done
done

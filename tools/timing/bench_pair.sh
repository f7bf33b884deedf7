#!/usr/bin/env bash
# bench_pair.sh BEFORE_BUILD AFTER_BUILD [LO_DAY_XLS]: the store, workbook and viewer
# benchmarks of two builds (each configured with the tests, g++, RelWithDebInfo), alternating,
# three rounds; bench/make_lo_day.sh makes the LibreOffice day's workbook.
set -u
before=$1 after=$2 lo=${3:-/tmp/lo_day50k.xls}
export QT_QPA_PLATFORM=offscreen
for round in 1 2 3; do
  for who in before after; do
    if [[ $who == before ]]; then b=$before; else b=$after; fi
    echo "=== round $round $who"
    "$b/bench/bench_store" 7 "$lo" 2>/dev/null
    "$b/bench/workbook/bench_workbook" 5 2>/dev/null
    "$b/bench/bench_viewer" 2>/dev/null
  done
done

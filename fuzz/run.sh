#!/usr/bin/env bash
# Runs one fuzz target for SECONDS on a fresh corpus grown from SEEDS (and the kept corpus
# KEPT). A finding (crash, leak, hang, out-of-memory) fails the run and leaves its input in
# ARTIFACTS (default: a folder named after the target in the current directory), with the
# run's log. Without a finding, the new inputs that reach code KEPT does not are merged into
# KEPT. scripts/fuzz.sh runs it for each target in a build with coverage.
#
#   fuzz/run.sh build-fuzz/fuzz/fuzz_command_read 900 build-fuzz/fuzz/seeds/command [ARTIFACTS [KEPT]]
set -euo pipefail
target=$1 seconds=$2 seeds=$3 kept=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
name=$(basename "$target")
artifacts=${4:-$PWD/$name-findings}
corpus=$(mktemp -d "/tmp/$name-corpus.XXXXXX")
trap 'rm -rf "$corpus"' EXIT
mkdir -p "$artifacts"
# Leaks inside FreeXL and libgsf on damaged files are known (tests/support/lsan.supp); matching them needs
# full stacks, which cost the window's targets most of their speed. Our own code is not
# suppressed.
export ASAN_OPTIONS=detect_leaks=1
[[ $name == fuzz_read_book ]] && ASAN_OPTIONS+=:fast_unwind_on_malloc=0
export LSAN_OPTIONS=suppressions=$here/../tests/support/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
log=$artifacts/last-run.log
status=0
"$target" -max_total_time="$seconds" -max_len=20000 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$seeds" ${kept:+"$kept"} >"$log" 2>&1 ||
  status=$?
if [[ $status -ne 0 ]]; then
  tail -n 60 "$log"
  echo "$name: finding (exit status $status); the input is in $artifacts" >&2
else
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
  echo "$name: corpus of $(ls "$corpus" | wc -l) inputs, no finding"
  if [[ -n $kept ]]; then
    "$target" -merge=1 -max_len=20000 -timeout=10 -rss_limit_mb=2048 "$kept" "$corpus" \
      >>"$log" 2>&1 || status=$?
  fi
fi
exit "$status"

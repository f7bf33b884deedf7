#!/usr/bin/env bash
# Runs one fuzz target once over every input in the folders (and files) given: the seeds, the
# corpus kept in fuzz/corpus/ and the inputs of past findings. Any crash, leak or failed
# check fails the run and names the input. The suite's fuzz_*_replay tests run this; time-
# boxed fuzzing is scripts/fuzz.sh.
#
#   fuzz/replay.sh build-asan/fuzz/fuzz_read_book build-asan/fuzz/seeds/book fuzz/corpus/book
set -euo pipefail
target=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
name=$(basename "$target")
# The same options as a fuzzing run (run.sh): leaks inside FreeXL and libgsf on damaged files
# are known and need full stacks to match; our own code is not suppressed.
export ASAN_OPTIONS=detect_leaks=1
[[ $name == fuzz_read_book ]] && ASAN_OPTIONS+=:fast_unwind_on_malloc=0
export LSAN_OPTIONS=suppressions=$here/../tests/support/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
inputs=()
for source in "$@"; do
  [[ -e $source ]] || continue
  while IFS= read -r -d '' f; do inputs+=("$f"); done < <(find "$source" -type f -print0 | sort -z)
done
if [[ ${#inputs[@]} -eq 0 ]]; then
  echo "$name: no inputs in $*" >&2
  exit 1
fi
log=$(mktemp "/tmp/$name-replay.XXXXXX")
trap 'rm -f "$log"' EXIT
status=0
# Inputs as files: libFuzzer runs each once and stops at the first finding.
printf '%s\0' "${inputs[@]}" | xargs -0 "$target" -timeout=60 -rss_limit_mb=2048 >"$log" 2>&1 ||
  status=$?
if [[ $status -ne 0 ]]; then
  tail -n 60 "$log"
  echo "$name: finding over the replayed inputs (exit status $status)" >&2
  exit 1
fi
echo "$name: ${#inputs[@]} inputs replayed, no finding"

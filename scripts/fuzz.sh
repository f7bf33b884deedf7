#!/usr/bin/env bash
# Fuzzes the three targets for a given time each, one after the other, under ASan/UBSan with
# libFuzzer's coverage in the code they reach, in a build of its own (build-fuzz/). New inputs
# that reach new code are merged into the kept corpus fuzz/corpus/<kind>/, which the test
# suite replays (commit them). A finding fails the run and leaves its input in
# build-fuzz/findings/<target>/ (add it to the kept corpus once it is fixed).
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]     default: 900 s each, all three targets
#
# Before a release: 900 s each at least (45 minutes on two cores), longer after a change to
# the frame checks, the readers or the workbook reader and editor.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-900}
shift || true
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(fuzz_command_read fuzz_continuous_read fuzz_read_book)
build=$root/build-fuzz

"$root/scripts/setup.sh" test
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DWEIGHBRIDGE_TESTS=ON -DWEIGHBRIDGE_SANITIZE=ON -DWEIGHBRIDGE_FUZZ=ON \
  -DWEIGHBRIDGE_FUZZ_COVERAGE=ON -DWEIGHBRIDGE_IN_PROCESS_ONLY=ON >/dev/null
cmake --build "$build" --target make_seeds "${targets[@]}"
seeds=$build/fuzz/seeds
rm -rf "$seeds"
ASAN_OPTIONS=fast_unwind_on_malloc=0 LSAN_OPTIONS=suppressions=$root/tests/support/lsan.supp \
  "$build/fuzz/make_seeds" "$seeds" "$root"/tests/workbook/data/*.xls

status=0
for target in "${targets[@]}"; do
  case $target in
    fuzz_command_read) kind=command ;;
    fuzz_continuous_read) kind=continuous ;;
    fuzz_read_book) kind=book ;;
    *)
      echo "unknown target $target" >&2
      exit 2
      ;;
  esac
  echo "== $target: $seconds s"
  corpus=$root/fuzz/corpus/$kind
  mkdir -p "$corpus"
  found=$build/findings/$target
  if "$root/fuzz/run.sh" "$build/fuzz/$target" "$seconds" "$seeds/$kind" "$found" "$corpus"; then
    echo "$target: kept corpus now $(find "$corpus" -type f | wc -l) inputs"
  else
    status=1
  fi
done
exit "$status"

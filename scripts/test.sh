#!/usr/bin/env bash
# Installs what is missing, builds everything once with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer (into build-asan/) and runs every test once, headless: the
# in-process tests, the proofs, the end-to-end runs of the real window, the package test, the
# runs under other locales, the other programs' views of our files, and the fuzz targets
# over their seeds, kept corpus and past findings. The program the proofs and end-to-end
# runs start is the sanitized one too, so the sanitizers watch it as well.
# WEIGHBRIDGE_PASSES="normal" adds (or, alone, runs instead) a pass built with g++ into
# build/, with the benchmarks (built, not run): its warnings and its optimiser's. Before
# either, every C++ source must be laid out as clang-format lays it out
# (scripts/check_format.sh).
# Objects go through ccache, which comes with the test packages (see CMakeLists.txt). At the
# end it prints the time of each phase, wall and processor (user + system). Fuzzing for a
# given time is scripts/fuzz.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export QT_QPA_PLATFORM=offscreen
# Qt Test aborts a test function that runs past its watchdog (300 s by default); on a loaded
# machine the sanitized workbook tests come near that. ctest's own limit (600 s) is the one.
export QTEST_FUNCTION_TIMEOUT=600000

timings=()
times_file=$(mktemp)
# phase NAME COMMAND...: runs the command and notes its wall and processor time.
phase() {
  local name=$1 start before
  shift
  start=$(date +%s.%N)
  times >"$times_file" # in this shell: its children's user and system time so far
  before=$(children_cpu)
  "$@"
  times >"$times_file"
  timings+=("$(awk -v n="$name" -v s="$start" -v e="$(date +%s.%N)" -v b="$before" \
    -v a="$(children_cpu)" 'BEGIN { printf "%-20s %7.1f s wall %8.1f s cpu", n, e - s, a - b }')")
}
# The user and system seconds of the finished children of this shell, added up, as `times`
# left them in the file.
children_cpu() {
  awk 'NR == 2 { for (i = 1; i <= 2; ++i) { split($i, t, /[ms]/); s += t[1] * 60 + t[2] }
                 print s }' "$times_file"
}
report() {
  rm -f "$times_file"
  echo "== time by phase"
  printf '  %s\n' "${timings[@]}"
}
trap report EXIT

phase install "$root/scripts/setup.sh" test
phase format "$root/scripts/check_format.sh"

# run_pass NAME BUILD_DIR CTEST_JOBS [CMAKE_ARGS...]; the compiler comes from CC/CXX.
run_pass() {
  local name=$1 build=$2 jobs=$3
  shift 3
  echo "== $name pass: $build"
  phase "$name configure" cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DWEIGHBRIDGE_TESTS=ON "$@" >/dev/null
  phase "$name build" cmake --build "$build"
  phase "$name tests" bash -c "cd '$build' && ctest --output-on-failure -j$jobs --timeout 600"
}

for pass in ${WEIGHBRIDGE_PASSES:-sanitized}; do
  case $pass in
    normal) run_pass normal "$root/build" 2 -DWEIGHBRIDGE_IN_PROCESS_ONLY=OFF ;;
    sanitized)
      # -O1 and line tables only, as sanitizer builds usually are: reports keep their file
      # and line, the build is lighter and the tests run about as fast. Four tests at a time
      # on two cores: most of them wait (on the line, the window, a timer or another
      # program) for more than half their time.
      CC=clang CXX=clang++ run_pass sanitized "$root/build-asan" 4 -DWEIGHBRIDGE_SANITIZE=ON \
        -DWEIGHBRIDGE_FUZZ=ON -DWEIGHBRIDGE_IN_PROCESS_ONLY=OFF \
        "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG" \
        "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG"
      ;;
    *)
      echo "unknown pass $pass (normal, sanitized)" >&2
      exit 2
      ;;
  esac
done

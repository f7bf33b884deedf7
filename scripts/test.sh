#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test headless, twice:
#   normal     g++, into build/
#   sanitized  clang with AddressSanitizer and UndefinedBehaviorSanitizer, into build-asan/,
#              with the fuzz targets (each fuzzed for 30 s as part of the suite)
# WEIGHBRIDGE_PASSES="normal" (or "sanitized") runs one of them only. Before either, every
# C++ source must be laid out as clang-format lays it out (scripts/check_format.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
WEIGHBRIDGE_DEV_TOOLS=1 "$root/scripts/setup.sh"
export QT_QPA_PLATFORM=offscreen
# Qt Test aborts a test function that runs past its watchdog (300 s by default); on a loaded
# machine the sanitized workbook tests come near that. ctest's own limit (600 s) is the one.
export QTEST_FUNCTION_TIMEOUT=600000
"$root/scripts/check_format.sh"

# run_pass BUILD_DIR [CMAKE_ARGS...]; the compiler comes from CC/CXX when given.
run_pass() {
  local build=$1
  shift
  echo "== build: $build"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$build"
  (cd "$build" && ctest --output-on-failure -j2 --timeout 600)
}

for pass in ${WEIGHBRIDGE_PASSES:-normal sanitized}; do
  case $pass in
    normal) run_pass "$root/build" ;;
    sanitized)
      CC=clang CXX=clang++ run_pass "$root/build-asan" -DWEIGHBRIDGE_SANITIZE=ON -DWEIGHBRIDGE_FUZZ=ON
      ;;
    *)
      echo "unknown pass $pass (normal, sanitized)" >&2
      exit 2
      ;;
  esac
done

#!/usr/bin/env bash
# Fails, naming the files, when a C++ source of the project is not laid out as clang-format
# (with the root .clang-format) lays it out. `scripts/check_format.sh --fix` formats them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(find src tests tools bench fuzz \( -name '*.cpp' -o -name '*.h' \) | sort)
if [[ "${1:-}" == --fix ]]; then
  clang-format -i "${files[@]}"
  exit 0
fi
# One run over all of them; only when it finds something, one a file to name them.
if clang-format --dry-run --Werror "${files[@]}" >/dev/null 2>&1; then
  echo "== format: ${#files[@]} sources formatted"
  exit 0
fi
unformatted=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
if [[ ${#unformatted[@]} -gt 0 ]]; then
  echo "Not formatted (run scripts/check_format.sh --fix):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "== format: ${#files[@]} sources formatted"

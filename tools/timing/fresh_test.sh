#!/usr/bin/env bash
# fresh_test.sh: a fresh clone of this checkout, no compiler cache, the test command timed
# (its log in /tmp/fresh-test.log).
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
dir=/tmp/fresh-test
rm -rf "$dir"
export CCACHE_DISABLE=1
start=$(date +%s.%N)
git clone -q "$root" "$dir"
cd "$dir"
/usr/bin/time -f "test command: %e s wall, %U s user, %S s system" ./scripts/test.sh > /tmp/fresh-test.log 2>&1
echo "exit $?" >> /tmp/fresh-test.log
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "clone + test command %.1f s\n", e - s }' >> /tmp/fresh-test.log

#!/usr/bin/env bash
# clone_to_window.sh SCRIPT: a fresh clone of this checkout, no compiler cache, SCRIPT (run.sh or
# demo.sh) started under Xvfb; prints the seconds from the clone's start to the window.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
script=$1
dir=/tmp/ctw-$script
rm -rf "$dir"
Xvfb :77 -screen 0 1280x800x24 >/dev/null 2>&1 &
xv=$!
sleep 1
export DISPLAY=:77 CCACHE_DISABLE=1
start=$(date +%s.%N)
git clone -q "$root" "$dir"
(cd "$dir" && setsid ./scripts/$script >"/tmp/ctw-$script.log" 2>&1) &
until xdotool search --onlyvisible --classname weighbridge >/dev/null 2>&1; do sleep 0.2; done
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" -v n="$script" 'BEGIN { printf "%s: clone to window %.1f s\n", n, e - s }'
pkill -f "$dir/" ; sleep 1; pkill -9 -f "$dir/"
kill $xv

#!/usr/bin/env bash
# The README's pictures of the viewer beside LibreOffice, under a Chinese desktop language:
#   docs/viewer-day.png               the viewer on tests/workbook/data/lo_look.xls (a day's
#                                     workbook an office formatted in LibreOffice)
#   docs/viewer-day-scrolled.png      the same scrolled down: the first row stays
#   docs/viewer-day-libreoffice.png   LibreOffice's own rendering of the file: its PDF export
#                                     (printed with grid and headers, as the file says),
#                                     rasterized at 96 dpi
# Needs the build's render_window, LibreOffice (libreoffice-calc-nogui) and pdftoppm
# (poppler-utils).
#   tests/support/viewer_screenshots.sh build docs
set -euo pipefail
build=$(cd "$1" && pwd)
out=$(mkdir -p "$2" && cd "$2" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
day=$root/tests/workbook/data/lo_look.xls
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
# Under the name the day's workbook has in the program's folder.
mkdir "$work/weighbridge"
cp "$day" "$work/weighbridge/2026-12-7.xls"
QT_QPA_PLATFORM=offscreen "$build/tests/app/render_window" --view \
    "$work/weighbridge/2026-12-7.xls" "$out/viewer-day.png" 860 320 0 0
QT_QPA_PLATFORM=offscreen "$build/tests/app/render_window" --view \
    "$work/weighbridge/2026-12-7.xls" "$out/viewer-day-scrolled.png" 860 200 0 60
cp "$day" "$work/day.xls"
soffice --headless -env:UserInstallation="file://$work/profile" --convert-to pdf \
    --outdir "$work" "$work/day.xls" >/dev/null 2>&1
pdftoppm -r 96 -png -f 1 -l 1 -x 70 -y 145 -W 830 -H 250 -singlefile "$work/day.pdf" \
    "$out/viewer-day-libreoffice"
echo "wrote $out/viewer-day.png $out/viewer-day-scrolled.png $out/viewer-day-libreoffice.png"

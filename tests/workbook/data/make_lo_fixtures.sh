#!/usr/bin/env bash
# Makes the two LibreOffice-saved fixtures committed beside this script. Needs LibreOffice
# (apt-get install -y libreoffice-calc-nogui) and python3-xlwt; run from this folder.
#   lo_day.xls   - a day's workbook written by xlwt, opened and saved again by LibreOffice
#   lo_mixed.xls - lo_mixed.fods (formulas with number, text, boolean and empty results, a
#                  date, a time, a boolean, a second sheet) saved by LibreOffice
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$work/lo_day.xls" <<'PY'
import sys, xlwt
book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("sheet1")
for c, t in enumerate(["序号", "日期", "时间", "车号", "毛重", "皮重", "净重"]):
    sheet.write(0, c, t)
sheet.write(0, 7, 4)
for r in range(1, 4):
    sheet.write(r, 0, r)
    sheet.write(r, 1, "2026/12/7")
    sheet.write(r, 2, "8:0%d:07" % r)
    sheet.write(r, 3, "00123" if r == 2 else "粤B%d" % (r * 111))
    sheet.write(r, 4, 20000 + r * 0.25)
    sheet.write(r, 5, 8000.5)
    sheet.write(r, 6, 20000 + r * 0.25 - 8000.5)
book.save(sys.argv[1])
PY
cp lo_mixed.fods "$work/"
soffice --headless --convert-to 'xls:MS Excel 97' --outdir . "$work/lo_day.xls" "$work/lo_mixed.fods"

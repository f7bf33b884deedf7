#!/usr/bin/env bash
# Makes the day's workbooks of other programs committed beside this script: three sheets as a
# spreadsheet application gives a new workbook, Sheet1 empty, notes in Sheet2, Sheet3 empty.
#   xlwt_three_sheets.xls - written by xlwt (python3-xlwt)
#   lo_three_sheets.xls   - the same sheets saved by LibreOffice (libreoffice-calc-nogui)
# Run from this folder.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - xlwt_three_sheets.xls <<'PY'
import sys, xlwt
book = xlwt.Workbook(encoding="utf-8")
book.add_sheet("Sheet1")
notes = book.add_sheet("Sheet2")
notes.write(0, 0, "备注")
notes.write(1, 0, "过磅员")
notes.write(1, 1, "张三")
notes.write(2, 0, "单价")
notes.write(2, 1, 12.5)
book.add_sheet("Sheet3")
book.save(sys.argv[1])
PY
cp xlwt_three_sheets.xls "$work/lo_three_sheets.xls"
soffice --headless --convert-to 'xls:MS Excel 97' --outdir "$work/out" "$work/lo_three_sheets.xls" >/dev/null
cp "$work/out/lo_three_sheets.xls" .

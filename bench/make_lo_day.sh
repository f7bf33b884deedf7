#!/usr/bin/env bash
# Makes the day's workbook that LibreOffice writes, for bench_store: 50,000 rows in the
# store's layout with formats (a bold, coloured header, number formats, column widths) and a
# formula column (I = E - F), saved by LibreOffice (libreoffice-calc-nogui) as .xls.
#   bench/make_lo_day.sh OUT.xls
set -euo pipefail
out=$(realpath -m "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$work/lo_day50k.fods" <<'PY'
import sys
rows = []
head = "".join('<table:table-cell table:style-name="head" office:value-type="string"><text:p>%s</text:p></table:table-cell>' % t
               for t in ["序号", "日期", "时间", "车号", "毛重", "皮重", "净重"])
rows.append('<table:table-row>%s<table:table-cell office:value-type="float" office:value="50001"/></table:table-row>' % head)
for r in range(2, 50002):
    gross = 10000 + r % 30000 + 0.5
    rows.append(
        '<table:table-row><table:table-cell office:value-type="float" office:value="%d"/>'
        '<table:table-cell office:value-type="string"><text:p>2010-8-4</text:p></table:table-cell>'
        '<table:table-cell office:value-type="string"><text:p>%d:%02d:%02d</text:p></table:table-cell>'
        '<table:table-cell office:value-type="string"><text:p>浙A%05d</text:p></table:table-cell>'
        '<table:table-cell table:style-name="kg" office:value-type="float" office:value="%s"/>'
        '<table:table-cell table:style-name="kg" office:value-type="float" office:value="8000"/>'
        '<table:table-cell table:style-name="kg" office:value-type="float" office:value="%s"/>'
        '<table:table-cell/><table:table-cell table:style-name="kg" table:formula="of:=[.E%d]-[.F%d]" office:value-type="float" office:value="%s"/>'
        '</table:table-row>' % (r - 1, 8 + r // 3600 % 12, r // 60 % 60, r % 60, r % 100000, gross, gross - 8000, r, r, gross - 8000))
open(sys.argv[1], "w", encoding="utf-8").write('''<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" xmlns:number="urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0" xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2" office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
 <office:automatic-styles>
  <number:number-style style:name="N2"><number:number number:decimal-places="1" number:min-integer-digits="1"/></number:number-style>
  <style:style style:name="co1" style:family="table-column"><style:table-column-properties style:column-width="1.1in"/></style:style>
  <style:style style:name="head" style:family="table-cell"><style:table-cell-properties fo:background-color="#ffd966"/><style:text-properties fo:font-weight="bold" style:font-weight-asian="bold"/></style:style>
  <style:style style:name="kg" style:family="table-cell" style:data-style-name="N2"/>
 </office:automatic-styles>
 <office:body><office:spreadsheet><table:table table:name="sheet1">
  <table:table-column table:style-name="co1" table:number-columns-repeated="9"/>
  %s
 </table:table></office:spreadsheet></office:body>
</office:document>
''' % "\n".join(rows))
PY
soffice --headless --convert-to 'xls:MS Excel 97' --outdir "$work" "$work/lo_day50k.fods" >/dev/null 2>&1
cp "$work/lo_day50k.xls" "$out"

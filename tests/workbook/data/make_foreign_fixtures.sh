#!/usr/bin/env bash
# Makes the foreign day's workbooks committed beside this script, which the editor tests
# continue and compare, cell by cell and property by property, with Apache POI:
#   lo_rich.fods      - the source: a day's sheet1 with a bold, coloured header, a formula
#                       column, a total, a comment on a vehicle number, column widths, a
#                       coloured row, a defined name; a notes sheet with merged cells and a
#                       picture
#   lo_rich.xls       - lo_rich.fods saved by LibreOffice (libreoffice-calc-nogui)
#   gnumeric_rich.xls - lo_rich.fods saved by Gnumeric's ssconvert (gnumeric), through an
#                       .ods that LibreOffice makes of it (Gnumeric reads no flat ODS)
# Run from this folder.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - lo_rich.fods <<'PY'
import base64, struct, sys, zlib

def png(width, height):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    raw = b"".join(b"\x00" + b"".join(bytes([(x * 30) % 256, (y * 30) % 256, 160])
                                     for x in range(width)) for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))

def cell(value=None, style=None, formula=None, extra=""):
    attrs = ""
    if style:
        attrs += ' table:style-name="%s"' % style
    if formula:
        attrs += ' table:formula="of:=%s"' % formula
    if isinstance(value, str):
        return '<table:table-cell%s office:value-type="string">%s<text:p>%s</text:p></table:table-cell>' % (attrs, extra, value)
    if value is not None:
        return '<table:table-cell%s office:value-type="float" office:value="%r">%s</table:table-cell>' % (attrs, value, extra)
    return '<table:table-cell%s>%s</table:table-cell>' % (attrs, extra)

header = "".join(cell(t, "head") for t in ["序号", "日期", "时间", "车号", "毛重", "皮重", "净重"])
rows = ['<table:table-row table:style-name="ro1">%s%s%s%s</table:table-row>' % (
    header, cell(4.0), cell("合计", "head"), cell(None, "head", "SUM([.G2:.G4])"))]
for r in range(1, 4):
    gross, tare = 20000 + r * 0.25, 8000.5
    note = ""
    if r == 2:
        note = ('<office:annotation office:display="false"><dc:creator>调度</dc:creator>'
                '<text:p>车号待核对</text:p></office:annotation>')
    rows.append('<table:table-row%s>%s%s%s%s%s%s%s%s%s</table:table-row>' % (
        ' table:style-name="ro1"' if r != 3 else '',
        cell(float(r)), cell("2026-12-7"), cell("8:0%d:07" % r),
        cell("粤B%d" % (r * 111), "fill" if r == 3 else None, extra=note),
        cell(gross, "fill" if r == 3 else None), cell(tare), cell(gross - tare),
        cell(None), cell(None, "money", "[.E%d]-[.F%d]" % (r + 1, r + 1))))
picture = base64.b64encode(png(16, 12)).decode()
doc = '''<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" xmlns:number="urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0" xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2" xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" xmlns:xlink="http://www.w3.org/1999/xlink" office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
 <office:automatic-styles>
  <number:number-style style:name="N2"><number:number number:decimal-places="2" number:min-integer-digits="1" number:grouping="true"/></number:number-style>
  <style:style style:name="co1" style:family="table-column"><style:table-column-properties style:column-width="1.2in"/></style:style>
  <style:style style:name="co2" style:family="table-column"><style:table-column-properties style:column-width="0.6in"/></style:style>
  <style:style style:name="ro1" style:family="table-row"><style:table-row-properties style:row-height="0.25in" style:use-optimal-row-height="false"/></style:style>
  <style:style style:name="head" style:family="table-cell"><style:table-cell-properties fo:background-color="#ffd966"/><style:text-properties fo:font-weight="bold"/></style:style>
  <style:style style:name="fill" style:family="table-cell"><style:table-cell-properties fo:background-color="#c6efce"/></style:style>
  <style:style style:name="money" style:family="table-cell" style:data-style-name="N2"/>
 </office:automatic-styles>
 <office:body><office:spreadsheet>
  <table:table table:name="sheet1">
   <table:table-column table:style-name="co2"/><table:table-column table:style-name="co1" table:number-columns-repeated="3"/><table:table-column table:style-name="co2" table:number-columns-repeated="6"/>
   %s
  </table:table>
  <table:table table:name="备注">
   <table:table-row><table:table-cell table:number-columns-spanned="3" office:value-type="string"><text:p>本周磅房值班：张三、李四</text:p></table:table-cell><table:covered-table-cell table:number-columns-repeated="2"/></table:table-row>
   <table:table-row><table:table-cell office:value-type="string"><text:p>图</text:p>
    <draw:frame draw:name="logo" svg:width="0.8in" svg:height="0.6in" svg:x="0.2in" svg:y="0.1in"><draw:image><office:binary-data>%s</office:binary-data></draw:image></draw:frame>
   </table:table-cell></table:table-row>
  </table:table>
  <table:named-expressions><table:named-range table:name="净重合计" table:base-cell-address="$sheet1.$A$1" table:cell-range-address="$sheet1.$G$2:.$G$4"/></table:named-expressions>
 </office:spreadsheet></office:body>
</office:document>
''' % ("\n   ".join(rows), picture)
open(sys.argv[1], "w", encoding="utf-8").write(doc)
PY
cp lo_rich.fods "$work/"
soffice --headless --convert-to 'xls:MS Excel 97' --outdir "$work/lo" "$work/lo_rich.fods" >/dev/null
cp "$work/lo/lo_rich.xls" lo_rich.xls
soffice --headless --convert-to ods --outdir "$work/ods" "$work/lo_rich.fods" >/dev/null
ssconvert "$work/ods/lo_rich.ods" gnumeric_rich.xls 2>/dev/null

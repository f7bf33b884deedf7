#!/usr/bin/env bash
# Makes the day's workbooks with an office's formatting committed beside this script, which
# the viewer's tests open and compare with what Apache POI reads of them, and whose first
# sheet the README shows in the viewer beside LibreOffice's own rendering:
#   look_day.fods      - the source, printed landscape with its grid and headers: sheet1 a
#                        day's rows with a bold, coloured header in a
#                        taller first row, widths, a date, a time, weights with one decimal,
#                        a net formula, a percent, a comment on a vehicle number, a merged
#                        note under the rows and the first row frozen; "格式" a sheet of fonts
#                        (Chinese faces, italic, sizes, colours), fills, alignments, number
#                        formats (Chinese date, text, scientific, red negatives, grouping), a
#                        hidden row and column (F), a merged block, frozen row and column
#   lo_look.xls        - look_day.fods saved by LibreOffice (libreoffice-calc-nogui). Without a
#                        display LibreOffice keeps no view settings, so the frozen panes are
#                        set in between by Apache POI (PoiDump freeze) on LibreOffice's first
#                        .xls, which LibreOffice then opens and saves again: every record of
#                        the file is LibreOffice's, the panes carried over from POI's.
#   gnumeric_look.xls  - lo_look.xls saved by Gnumeric's ssconvert (gnumeric)
# Run from this folder; needs a JDK and libapache-poi-java (scripts/setup.sh) too.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - look_day.fods <<'PY'
import sys

def cell(value=None, style=None, kind=None, formula=None, extra="", span=None):
    attrs = ""
    if style:
        attrs += ' table:style-name="%s"' % style
    if formula:
        attrs += ' table:formula="of:=%s"' % formula
    if span:
        attrs += ' table:number-columns-spanned="%d" table:number-rows-spanned="%d"' % span
    if kind == "date":
        attrs += ' office:value-type="date" office:date-value="%s"' % value
        return '<table:table-cell%s>%s</table:table-cell>' % (attrs, extra)
    if kind == "time":
        attrs += ' office:value-type="time" office:time-value="%s"' % value
        return '<table:table-cell%s>%s</table:table-cell>' % (attrs, extra)
    if kind == "percentage":
        attrs += ' office:value-type="percentage" office:value="%r"' % value
        return '<table:table-cell%s>%s</table:table-cell>' % (attrs, extra)
    if isinstance(value, str):
        return ('<table:table-cell%s office:value-type="string">%s<text:p>%s</text:p>'
                '</table:table-cell>' % (attrs, extra, value))
    if value is not None:
        return ('<table:table-cell%s office:value-type="float" office:value="%r">%s'
                '</table:table-cell>' % (attrs, value, extra))
    return '<table:table-cell%s>%s</table:table-cell>' % (attrs, extra)

def covered(n):
    return '<table:covered-table-cell table:number-columns-repeated="%d"/>' % n

def row(cells, style="ro1", hidden=False):
    attrs = ' table:style-name="%s"' % style
    if hidden:
        attrs += ' table:visibility="collapse"'
    return '<table:table-row%s>%s</table:table-row>' % (attrs, "".join(cells))

captions = ["序号", "过磅日期", "时间", "车号", "毛重", "皮重", "净重", "扣杂"]
day = [row([cell(t, "head") for t in captions] + [cell(9.0)], "ro0")]
trucks = ["浙A12345", "浙B67890", "苏E0G123", "浙A55555", "沪C88321", "浙D20011", "皖K76510",
          "浙A09876"]
for r, truck in enumerate(trucks, start=1):
    gross = 20000 + r * 1234.5
    tare = 8000 + r * 101.0
    note = ""
    if r == 3:
        note = ('<office:annotation office:display="false"><dc:creator>调度</dc:creator>'
                '<text:p>车号待核对，司机称已换牌。</text:p></office:annotation>')
    day.append(row([
        cell(float(r)), cell("2026-12-07", "cdate", "date"),
        cell("PT%02dH%02dM%02dS" % (8 + r, (r * 7) % 60, (r * 13) % 60), "ctime", "time"),
        cell(truck, extra=note), cell(gross, "kg"), cell(tare, "kg"),
        cell(gross - tare, "net", formula="[.E%d]-[.F%d]" % (r + 1, r + 1)),
        cell(0.005 * (r % 3), "pct", "percentage")]))
day.append(row([cell(None)]))
day.append(row([cell("备注：12月7日14:00至14:30地磅校准，此间数据为校准记录，不计入结算。", "note",
                     span=(8, 1)), covered(7)], "ro2"))

fmt = [
    row([cell("宋体 12 磅", "song"), cell("黑体 加粗", "hei"), cell("楷体 斜体", "kai"),
         cell("Arial 红色", "red"), cell(1234.5, "sci")], "ro0"),
    row([cell("居中", "centre"), cell(42.0, "left"), cell("靠右", "right"), cell(46363.0, "cn"),
         cell("00123", "text")]),
    row([cell("填充", "fill"), cell(-1234.567, "neg"), cell(1234.567, "neg"),
         cell(1234567.0, "group"), cell(0.125, "pct2")]),
    row([cell("隐藏的行"), cell(1.0)], hidden=True),
    row([cell("合并的块", "centre", span=(2, 2)), covered(1), cell(3.0)]),
    row([covered(2), cell(4.0)]),
    row([cell("冻结到此"), cell(5.0), cell(None), cell(None), cell(None), cell("隐藏的列"),
         cell("隐藏列右侧")]),
]

doc = '''<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" xmlns:number="urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0" xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2" xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:config="urn:oasis:names:tc:opendocument:xmlns:config:1.0" office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
 <office:settings>
  <config:config-item-set config:name="ooo:view-settings">
   <config:config-item-map-indexed config:name="Views"><config:config-item-map-entry>
    <config:config-item config:name="ViewId" config:type="string">view1</config:config-item>
    <config:config-item-map-named config:name="Tables">%s</config:config-item-map-named>
    <config:config-item config:name="ActiveTable" config:type="string">sheet1</config:config-item>
   </config:config-item-map-entry></config:config-item-map-indexed>
  </config:config-item-set>
 </office:settings>
 <office:automatic-styles>
  <style:page-layout style:name="pm1"><style:page-layout-properties style:print-orientation="landscape" fo:page-width="297mm" fo:page-height="210mm" style:print="grid headers" style:scale-to-X="1" style:scale-to-Y="1"/></style:page-layout>
  <number:date-style style:name="Ndate"><number:year number:style="long"/><number:text>-</number:text><number:month number:style="long"/><number:text>-</number:text><number:day number:style="long"/></number:date-style>
  <number:time-style style:name="Ntime"><number:hours number:style="long"/><number:text>:</number:text><number:minutes number:style="long"/><number:text>:</number:text><number:seconds number:style="long"/></number:time-style>
  <number:number-style style:name="Nkg"><number:number number:decimal-places="1" number:min-integer-digits="1" number:grouping="true"/></number:number-style>
  <number:number-style style:name="Nnet"><number:number number:decimal-places="2" number:min-integer-digits="1"/></number:number-style>
  <number:percentage-style style:name="Npct"><number:number number:decimal-places="1" number:min-integer-digits="1"/><number:text>%%</number:text></number:percentage-style>
  <number:percentage-style style:name="Npct2"><number:number number:decimal-places="2" number:min-integer-digits="1"/><number:text>%%</number:text></number:percentage-style>
  <number:date-style style:name="Ncn"><number:year number:style="long"/><number:text>年</number:text><number:month/><number:text>月</number:text><number:day/><number:text>日</number:text></number:date-style>
  <number:text-style style:name="Ntext"><number:text-content/></number:text-style>
  <number:number-style style:name="Nsci"><number:scientific-number number:decimal-places="2" number:min-integer-digits="1" number:min-exponent-digits="2"/></number:number-style>
  <number:number-style style:name="Nneg0"><number:number number:decimal-places="2" number:min-integer-digits="1"/></number:number-style>
  <number:number-style style:name="Nneg"><style:text-properties fo:color="#ff0000"/><number:text>-</number:text><number:number number:decimal-places="2" number:min-integer-digits="1"/><style:map style:condition="value()&gt;=0" style:apply-style-name="Nneg0"/></number:number-style>
  <number:number-style style:name="Ngroup"><number:number number:decimal-places="0" number:min-integer-digits="1" number:grouping="true"/></number:number-style>
  <style:style style:name="co1" style:family="table-column"><style:table-column-properties style:column-width="0.5in"/></style:style>
  <style:style style:name="co2" style:family="table-column"><style:table-column-properties style:column-width="1.1in"/></style:style>
  <style:style style:name="co3" style:family="table-column"><style:table-column-properties style:column-width="0.9in"/></style:style>
  <style:style style:name="co4" style:family="table-column"><style:table-column-properties style:column-width="1.3in"/></style:style>
  <style:style style:name="co5" style:family="table-column"><style:table-column-properties style:column-width="0.8in"/></style:style>
  <style:style style:name="ro0" style:family="table-row"><style:table-row-properties style:row-height="0.3in" style:use-optimal-row-height="false"/></style:style>
  <style:style style:name="ro1" style:family="table-row"><style:table-row-properties style:row-height="0.178in" style:use-optimal-row-height="true"/></style:style>
  <style:style style:name="ro2" style:family="table-row"><style:table-row-properties style:row-height="0.25in" style:use-optimal-row-height="false"/></style:style>
  <style:style style:name="head" style:family="table-cell"><style:table-cell-properties fo:background-color="#ffd966" style:text-align-source="fix" style:vertical-align="middle"/><style:paragraph-properties fo:text-align="center"/><style:text-properties fo:font-weight="bold" style:font-weight-asian="bold" fo:color="#1f4e79" fo:font-size="11pt" style:font-size-asian="11pt"/></style:style>
  <style:style style:name="cdate" style:family="table-cell" style:data-style-name="Ndate"/>
  <style:style style:name="ctime" style:family="table-cell" style:data-style-name="Ntime"/>
  <style:style style:name="kg" style:family="table-cell" style:data-style-name="Nkg"/>
  <style:style style:name="net" style:family="table-cell" style:data-style-name="Nnet"><style:text-properties fo:font-weight="bold" style:font-weight-asian="bold"/></style:style>
  <style:style style:name="pct" style:family="table-cell" style:data-style-name="Npct"/>
  <style:style style:name="pct2" style:family="table-cell" style:data-style-name="Npct2"/>
  <style:style style:name="note" style:family="table-cell"><style:table-cell-properties fo:background-color="#e2efda" style:vertical-align="middle"/><style:text-properties fo:color="#375623"/></style:style>
  <style:style style:name="song" style:family="table-cell"><style:text-properties style:font-name="宋体" fo:font-family="宋体" style:font-name-asian="宋体" style:font-family-asian="宋体" fo:font-size="12pt" style:font-size-asian="12pt"/></style:style>
  <style:style style:name="hei" style:family="table-cell"><style:text-properties style:font-name="黑体" fo:font-family="黑体" style:font-name-asian="黑体" style:font-family-asian="黑体" fo:font-weight="bold" style:font-weight-asian="bold"/></style:style>
  <style:style style:name="kai" style:family="table-cell"><style:text-properties style:font-name="楷体" fo:font-family="楷体" style:font-name-asian="楷体" style:font-family-asian="楷体" fo:font-style="italic" style:font-style-asian="italic" fo:font-size="14pt" style:font-size-asian="14pt"/></style:style>
  <style:style style:name="red" style:family="table-cell"><style:text-properties fo:font-family="Arial" style:font-family-asian="Arial" fo:color="#ff0000" style:text-underline-style="solid" style:text-underline-width="auto" style:text-underline-color="font-color"/></style:style>
  <style:style style:name="sci" style:family="table-cell" style:data-style-name="Nsci"/>
  <style:style style:name="centre" style:family="table-cell"><style:table-cell-properties style:text-align-source="fix" fo:background-color="#ddebf7"/><style:paragraph-properties fo:text-align="center"/></style:style>
  <style:style style:name="left" style:family="table-cell"><style:table-cell-properties style:text-align-source="fix"/><style:paragraph-properties fo:text-align="start"/></style:style>
  <style:style style:name="right" style:family="table-cell"><style:table-cell-properties style:text-align-source="fix"/><style:paragraph-properties fo:text-align="end"/></style:style>
  <style:style style:name="cn" style:family="table-cell" style:data-style-name="Ncn"/>
  <style:style style:name="text" style:family="table-cell" style:data-style-name="Ntext"/>
  <style:style style:name="fill" style:family="table-cell"><style:table-cell-properties fo:background-color="#ff0000"/><style:text-properties fo:color="#ffffff"/></style:style>
  <style:style style:name="neg" style:family="table-cell" style:data-style-name="Nneg"/>
  <style:style style:name="group" style:family="table-cell" style:data-style-name="Ngroup"/>
  <style:style style:name="hiddencol" style:family="table-column"><style:table-column-properties style:column-width="0.8in"/></style:style>
 </office:automatic-styles>
 <office:master-styles><style:master-page style:name="Default" style:page-layout-name="pm1"/></office:master-styles>
 <office:body><office:spreadsheet>
  <table:table table:name="sheet1">
   <table:table-column table:style-name="co1"/><table:table-column table:style-name="co2"/><table:table-column table:style-name="co3"/><table:table-column table:style-name="co4"/><table:table-column table:style-name="co3" table:number-columns-repeated="3"/><table:table-column table:style-name="co5" table:number-columns-repeated="2"/>
   %s
  </table:table>
  <table:table table:name="格式">
   <table:table-column table:style-name="co4"/><table:table-column table:style-name="co3"/><table:table-column table:style-name="co4" table:number-columns-repeated="3"/><table:table-column table:style-name="hiddencol" table:visibility="collapse"/><table:table-column table:style-name="co4"/>
   %s
  </table:table>
 </office:spreadsheet></office:body>
</office:document>
'''

def split(name, rows, columns):
    items = [("HorizontalSplitMode", "short", 2 if columns else 0),
             ("VerticalSplitMode", "short", 2 if rows else 0),
             ("HorizontalSplitPosition", "int", columns),
             ("VerticalSplitPosition", "int", rows),
             ("ActiveSplitRange", "short", 3 if columns else 2),
             ("PositionLeft", "int", 0), ("PositionRight", "int", columns),
             ("PositionTop", "int", 0), ("PositionBottom", "int", rows)]
    return ('<config:config-item-map-entry config:name="%s">%s</config:config-item-map-entry>'
            % (name, "".join('<config:config-item config:name="%s" config:type="%s">%d'
                             '</config:config-item>' % i for i in items)))

settings = split("sheet1", 1, 0) + split("格式", 1, 1)
open(sys.argv[1], "w", encoding="utf-8").write(
    doc % (settings, "\n   ".join(day), "\n   ".join(fmt)))
PY
poi=/usr/share/java/poi.jar:/usr/share/java/commons-collections4.jar:/usr/share/java/commons-math3.jar
poi=$poi:/usr/share/java/commons-codec.jar:/usr/share/java/commons-logging.jar
javac -nowarn -d "$work/classes" -cp "$poi" ../PoiDump.java
cp look_day.fods "$work/"
soffice --headless --convert-to 'xls:MS Excel 97' --outdir "$work/lo" "$work/look_day.fods" >/dev/null
mkdir "$work/frozen"
java -cp "$work/classes:$poi" PoiDump freeze "$work/lo/look_day.xls" "$work/a.xls" sheet1 0 1
java -cp "$work/classes:$poi" PoiDump freeze "$work/a.xls" "$work/frozen/look_day.xls" 格式 1 1
soffice --headless --convert-to 'xls:MS Excel 97' --outdir "$work/again" "$work/frozen/look_day.xls" \
    >/dev/null
cp "$work/again/look_day.xls" lo_look.xls
ssconvert lo_look.xls gnumeric_look.xls 2>/dev/null

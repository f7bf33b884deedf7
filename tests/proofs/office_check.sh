#!/usr/bin/env bash
# The office proof: day's workbooks made by LibreOffice, Gnumeric, Apache POI, xlwt and this
# program, each stored into by the record-level editor (store_into: 200 rows and H1), are
# converted to CSV by LibreOffice (every sheet) and by Gnumeric's ssconvert, before and
# after. Every sheet must come out of both programs, sheet1 with its old rows unchanged (H1
# aside) followed by the 200 new ones, every other sheet unchanged. Needs LibreOffice
# (libreoffice-calc-nogui), gnumeric, a JDK and libapache-poi-java, python3-xlwt.
#   tests/proofs/office_check.sh BUILD        (e.g. build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
data=$root/tests/workbook/data
cp "$data/lo_rich.xls" "$data/gnumeric_rich.xls" "$data/lo_day.xls" "$work/"
poi=$build/tests/workbook/poidump:/usr/share/java/poi.jar:/usr/share/java/commons-collections4.jar:/usr/share/java/commons-math3.jar:/usr/share/java/commons-codec.jar:/usr/share/java/commons-logging.jar
java -cp "$poi" PoiDump make "$work/poi_blocks.xls"
/usr/bin/python3 "$root/tests/workbook/xlwt_fixtures.py" "$work"
mv "$work/values.xls" "$work/xlwt_values.xls"
rm -f "$work/big.xls"
# A header-only day's workbook that the editor has already stored 50 rows into.
/usr/bin/python3 - "$work/own.xls" <<'PY'
import sys, xlwt
book = xlwt.Workbook(encoding="utf-8")
sheet = book.add_sheet("sheet1")
for c, t in enumerate(["序号", "日期", "时间", "车号", "毛重", "皮重", "净重", "1"]):
    sheet.write(0, c, t)
book.save(sys.argv[1])
PY
"$build/tests/proofs/store_into" "$work/own.xls" 50

failed=0
for f in "$work"/*.xls; do
  name=$(basename "$f" .xls)
  mkdir -p "$work/$name"/{lo-before,lo-after,gn-before,gn-after}
  cp "$f" "$work/$name/before.xls"
  cp "$f" "$work/$name/after.xls"
  "$build/tests/proofs/store_into" "$work/$name/after.xls" 200
  for when in before after; do
    soffice --headless --convert-to 'csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,false,false,-1' \
      --outdir "$work/$name/lo-$when" "$work/$name/$when.xls" >/dev/null 2>&1
    ssconvert -S "$work/$name/$when.xls" "$work/$name/gn-$when/%s.csv" >/dev/null 2>&1
  done
  if ! /usr/bin/python3 - "$work/$name" <<'PY'
import glob, os, sys
folder = sys.argv[1]
def sheets(kind, when):
    out = {}
    for p in sorted(glob.glob(os.path.join(folder, "%s-%s" % (kind, when), "*.csv"))):
        key = os.path.basename(p)[:-4].replace("before-", "").replace("after-", "")
        out[key] = open(p, encoding="utf-8", errors="replace").read().splitlines()
    return out
ok = True
for kind in ("lo", "gn"):
    b, a = sheets(kind, "before"), sheets(kind, "after")
    if not a or sorted(a) != sorted(b):
        print("  %s: sheets %s before, %s after" % (kind, sorted(b), sorted(a))); ok = False; continue
    for key in b:
        old, new = b[key], a[key]
        if key.lower().endswith("sheet1"):
            same = [l for i, l in enumerate(old) if i > 0] == new[1:len(old)]
            grew = len(new) >= len(old) + 200 - (1 if len(old) == 0 else 0)
            if not (same and grew):
                print("  %s %s: old rows changed or new rows missing" % (kind, key)); ok = False
        elif old != new:
            print("  %s %s: changed" % (kind, key)); ok = False
print("  %s: LibreOffice and Gnumeric: %s" % (os.path.basename(folder), "every sheet as before, 200 rows added" if ok else "FAILED"))
sys.exit(0 if ok else 1)
PY
  then failed=1; fi
done
exit $failed

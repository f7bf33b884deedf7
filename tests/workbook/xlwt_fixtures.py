"""Writes workbooks with xlwt, another program's BIFF8 writer, for the reader tests.
Usage: xlwt_fixtures.py <folder>."""
import datetime
import os
import sys

import xlwt


def main(folder):
    # Texts (Chinese and Latin), numbers, booleans, a date and a formula (xlwt stores no
    # cached result); several sheets with Chinese names, one of them empty.
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("sheet1")
    for c, value in enumerate(["序号", "日期", "时间", "车号", "毛重", "皮重", "净重", "1"]):
        sheet.write(0, c, value)
    for c, value in enumerate([1, "2026/12/7", "8:04:07", "00123", 15.25, -1.5, 123456789.125]):
        sheet.write(1, c, value)
    for c, value in enumerate([True, False, 1e-7, "京A·12345 粤B"]):
        sheet.write(2, c, value)
    sheet.write(6, 0, datetime.date(2026, 12, 7), xlwt.easyxf(num_format_str="YYYY-MM-DD"))
    sheet.write(6, 1, xlwt.Formula("B2*2"))
    for n, name in enumerate(["第一", "empty", "四"]):
        sheet = book.add_sheet(name)
        for r in range(30 if name != "empty" else 0):
            sheet.write(r, n, "%s-%d" % (name, r))
            sheet.write(r, 3, r * 0.5)
    book.save(os.path.join(folder, "values.xls"))

    # 20,000 rows, the first 3,000 with long distinct texts: a shared-strings table over
    # CONTINUE records as xlwt splits it, and a file of many FAT sectors in xlwt's layout.
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("big")
    for r in range(20000):
        long = r < 3000
        for c, value in enumerate([r, "2026/12/7", "%d:%02d:%02d" % (r // 3600, r // 60 % 60, r % 60),
                                   "行%05d-" % r + "重" * (r % 40) if long else "粤%05d" % (r % 700),
                                   r * 1.25, "row %d " % r + "x" * (r % 70) if long else ""]):
            sheet.write(r, c, value)
    book.save(os.path.join(folder, "big.xls"))

    # A day's sheet whose first row a person formatted: A1 a date, H1 (the row counter) a
    # date and time, C1 a time; the same numbers plain below.
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("sheet1")
    sheet.write(0, 0, datetime.date(2026, 12, 7), xlwt.easyxf(num_format_str="YYYY-MM-DD"))
    sheet.write(0, 2, 0.25, xlwt.easyxf(num_format_str="HH:MM:SS"))
    sheet.write(0, 7, 46363.5, xlwt.easyxf(num_format_str="YYYY-MM-DD HH:MM:SS"))
    for c, value in enumerate([46363, 1, 0.25, 4, 5, 6, 7, 46363.5]):
        sheet.write(1, c, value)
    book.save(os.path.join(folder, "dated.xls"))


if __name__ == "__main__":
    main(sys.argv[1])

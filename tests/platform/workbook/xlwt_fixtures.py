"""Writes workbooks with xlwt, another program's BIFF8 writer, for the reader tests.
Usage: xlwt_fixtures.py <folder>. Each file is named after what it shows."""
import datetime
import os
import sys

import xlwt


def save(book, folder, name):
    book.save(os.path.join(folder, name))


def main(folder):
    # Texts (Chinese and Latin), numbers, booleans on one sheet.
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("sheet1")
    for c, caption in enumerate(["序号", "日期", "时间", "车号", "毛重", "皮重", "净重"]):
        sheet.write(0, c, caption)
    sheet.write(0, 7, "1")
    sheet.write(1, 0, 1)
    sheet.write(1, 1, "2026/12/7")
    sheet.write(1, 2, "8:04:07")
    sheet.write(1, 3, "00123")
    sheet.write(1, 4, 15.25)
    sheet.write(1, 5, -1.5)
    sheet.write(1, 6, 123456789.125)
    sheet.write(2, 0, True)
    sheet.write(2, 1, False)
    sheet.write(2, 3, "京A·12345 粤B")
    sheet.write(5, 5, 1e-7)
    save(book, folder, "values.xls")

    # Several sheets, one of them empty, with names in Chinese.
    book = xlwt.Workbook(encoding="utf-8")
    for n, name in enumerate(["第一", "Second", "empty", "四"]):
        sheet = book.add_sheet(name)
        if name != "empty":
            for r in range(30):
                sheet.write(r, n % 3, "%s-%d" % (name, r))
                sheet.write(r, 3, r * 0.5)
    save(book, folder, "sheets.xls")

    # Many distinct strings: an SST with CONTINUE records as xlwt splits them.
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("long")
    for r in range(3000):
        sheet.write(r, 0, "行%05d-" % r + "重" * (r % 40))
        sheet.write(r, 1, "row %d " % r + "x" * (r % 70))
    save(book, folder, "continue.xls")

    # A date-formatted number and formulas (xlwt stores no cached result).
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("dates")
    style = xlwt.easyxf(num_format_str="YYYY-MM-DD")
    sheet.write(0, 0, datetime.date(2026, 12, 7), style)
    sheet.write(0, 1, 2.5)
    sheet.write(0, 2, xlwt.Formula("B1*2"))
    save(book, folder, "dates.xls")

    # More rows than fit under one FAT sector chain without DIFAT, in xlwt's layout.
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("big")
    for r in range(20000):
        sheet.write(r, 0, r)
        sheet.write(r, 1, "2026/12/7")
        sheet.write(r, 2, "%d:%02d:%02d" % (r // 3600 % 24, r // 60 % 60, r % 60))
        sheet.write(r, 3, "粤%05d" % (r % 700))
        sheet.write(r, 4, r * 1.25)
    save(book, folder, "big.xls")


if __name__ == "__main__":
    main(sys.argv[1])

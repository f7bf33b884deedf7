"""Prints every sheet of an .xls workbook as xlrd reads it, as JSON:
{"sheets": [{"name": ..., "cells": [[row, column, kind, value], ...]}]}
with 1-based rows and columns and kind "t" (text), "n" (number) or "b" (boolean).
Empty and blank cells are left out. The independent reader the tests compare ours with."""
import json
import sys

import xlrd


def main(path):
    book = xlrd.open_workbook(path)
    sheets = []
    for sheet in book.sheets():
        cells = []
        for r in range(sheet.nrows):
            for c, cell in enumerate(sheet.row(r)):
                if cell.ctype == xlrd.XL_CELL_TEXT:
                    cells.append([r + 1, c + 1, "t", cell.value])
                elif cell.ctype in (xlrd.XL_CELL_NUMBER, xlrd.XL_CELL_DATE):
                    cells.append([r + 1, c + 1, "n", cell.value])
                elif cell.ctype == xlrd.XL_CELL_BOOLEAN:
                    cells.append([r + 1, c + 1, "b", bool(cell.value)])
        sheets.append({"name": sheet.name, "cells": cells})
    json.dump({"sheets": sheets}, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main(sys.argv[1])

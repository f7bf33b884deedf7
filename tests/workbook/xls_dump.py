"""Prints every sheet of an .xls workbook as xlrd reads it, as JSON:
{"sheets": [{"name": ..., "cells": [[row, column, value], ...]}]}, rows and columns from 1,
a text as a string, a number (dates too) as a number, a boolean as true or false; empty
cells left out."""
import json
import sys

import xlrd

KINDS = (xlrd.XL_CELL_TEXT, xlrd.XL_CELL_NUMBER, xlrd.XL_CELL_DATE, xlrd.XL_CELL_BOOLEAN)


def main(path):
    sheets = [{"name": sheet.name,
               "cells": [[r + 1, c + 1, bool(cell.value)
                          if cell.ctype == xlrd.XL_CELL_BOOLEAN else cell.value]
                         for r in range(sheet.nrows) for c, cell in enumerate(sheet.row(r))
                         if cell.ctype in KINDS]}
              for sheet in xlrd.open_workbook(path).sheets()]
    json.dump({"sheets": sheets}, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main(sys.argv[1])

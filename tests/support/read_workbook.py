#!/usr/bin/python3
"""Reads a workbook with an independent library and prints what it holds as JSON.

usage: read_workbook.py PATH [MAXROWS]
  .xls through xlrd, .xlsx through openpyxl. Prints {"sheets", "nrows", "ncols",
  "rows" (the first MAXROWS rows, all when absent), "last" (the last row),
  "all_text" (every non-empty cell holds a string), "log" (reader warnings)}.
  Empty cells read as "".
"""
import io
import json
import sys


def main():
    path = sys.argv[1]
    limit = int(sys.argv[2]) if len(sys.argv) > 2 else None
    rows, last, nrows, ncols, all_text, log = [], None, 0, 0, True, io.StringIO()

    def take(cells):
        nonlocal last, nrows, ncols
        ncols = max(ncols, len(cells))
        if limit is None or nrows < limit:
            rows.append(cells)
        last = cells
        nrows += 1

    if path.lower().endswith(".xlsx"):
        import openpyxl
        book = openpyxl.load_workbook(path, read_only=True)
        sheets = len(book.worksheets)
        for row in book.worksheets[0].iter_rows():
            cells = []
            for cell in row:
                value = cell.value
                if value is None:
                    cells.append("")
                    continue
                if not isinstance(value, str) or cell.data_type != "s":
                    all_text = False
                cells.append(str(value))
            take(cells)
    else:
        import xlrd
        book = xlrd.open_workbook(path, logfile=log)
        sheets = book.nsheets
        sheet = book.sheet_by_index(0)
        for r in range(sheet.nrows):
            cells = []
            for cell in sheet.row(r):
                if cell.ctype == xlrd.XL_CELL_EMPTY:
                    cells.append("")
                    continue
                if cell.ctype != xlrd.XL_CELL_TEXT:
                    all_text = False
                cells.append(str(cell.value))
            take(cells)

    for cells in rows + ([last] if last is not None else []):
        cells.extend([""] * (ncols - len(cells)))
    # ASCII only, so the locale of the caller does not matter.
    json.dump({"sheets": sheets, "nrows": nrows, "ncols": ncols, "rows": rows, "last": last,
               "all_text": 1 if all_text else 0, "log": log.getvalue()}, sys.stdout, ensure_ascii=True)


main()

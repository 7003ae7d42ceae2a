#!/usr/bin/python3
"""Prints what a seller meets in an .xlsx, read by openpyxl: the sheets, the first
sheet's frozen pane, filter and caption style, each cell of its first rows as
TYPE:VALUE[:FORMAT], and the second sheet's rows and charts.

usage: xlsx_layout.py PATH [ROWS]
"""
import sys

import openpyxl


def cell_text(cell):
    if cell.value is None:
        return "-"
    kind = {"s": "text", "n": "number", "d": "time"}.get(cell.data_type, cell.data_type)
    text = f"{kind}:{cell.value}"
    if cell.number_format != "General":
        text += f":{cell.number_format}"
    return text


def main():
    path = sys.argv[1]
    rows = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    book = openpyxl.load_workbook(path)
    print("sheets", "|".join(book.sheetnames))
    data = book.worksheets[0]
    print("freeze", data.freeze_panes, "filter", data.auto_filter.ref,
          "bold captions", all(c.font.b for c in data[1]))
    for r, row in enumerate(data.iter_rows(max_row=rows), 1):
        print(r, " ".join(cell_text(c) for c in row))
    if len(book.worksheets) > 1:
        counts = book.worksheets[1]
        print("charts", len(counts._charts))
        for row in counts.iter_rows(max_row=3):
            print(" ".join(cell_text(c) for c in row))


main()

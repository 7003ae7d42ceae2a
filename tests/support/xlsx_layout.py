#!/usr/bin/python3
"""Prints what a seller meets in an .xlsx, read by openpyxl: the sheets, the first
sheet's frozen pane, filter and caption style, each cell of its first rows as
TYPE:VALUE[:FORMAT], the second sheet's rows and charts, and whether the sheets
were deflated at the fastest level (the zip entry's flag bits 1 and 2 both set).

usage: xlsx_layout.py PATH [ROWS]
"""
import sys
import zipfile

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
    sheets = [i for i in zipfile.ZipFile(path).infolist()
              if i.filename.startswith("xl/worksheets/sheet") and i.filename.endswith(".xml")]
    print("sheets deflated fastest", len(sheets),
          all(i.compress_type == zipfile.ZIP_DEFLATED and i.flag_bits & 6 == 6 for i in sheets))


main()

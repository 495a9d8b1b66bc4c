#!/usr/bin/python3
"""Writes the cut-sheet fixtures of this folder, and the demo plant's cuts.xlsx and
cuts.ods from its cuts.csv. Run with Debian's python3 and the
packages python3-openpyxl, python3-xlwt and python3-odf:
    /usr/bin/python3 tests/data/cutsheet/make_fixtures.py
The same three cuts appear in every file (row 1 headings, cuts in rows 2 to 4, row 5
empty, a hidden cut in row 6), so the readers can be checked against each other."""

import os
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
HEADINGS = ["WIP", "Style", "Color", "Waist", "Length", "Length Desc", "Line 1", "Line 2",
            "Line 3", "Barcode", "Made In", "Qty", "Stock"]
# Numbers are numbers in the spreadsheets; "004512" is a text, so its zeros stay.
CUTS = [
    [40123, "5510", 7, 32, 30, "REG", "POLY COTTON WOVEN", "65% POLYESTER", "35% COTTON",
     "40123551007323", "USA", 24, "WB1"],
    ["004512", "5520", 12, 34, 32.5, "LONG", "POLY WOOL WOVEN", "55% POLYESTER", "45% WOOL",
     "00451255201234", "MEXICO", 12, "WB2"],
    [40125, "5530", "123", 36, 29, "SHORT", "MICROFIBER", "100% POLYESTER", "",
     "40125553012336", "CAFÉ", 6, "WB3"],
]
HIDDEN = [99999, "9999", 1, 1, 1, "X", "", "", "", "", "", 1, ""]


def csv_text(value):
    return str(value)


def write_csv():
    with open(os.path.join(HERE, "cuts.csv"), "w", encoding="utf-8", newline="") as f:
        for row in [HEADINGS] + CUTS + [[""] * 13] + [HIDDEN]:
            f.write(",".join(csv_text(v) for v in row) + "\r\n")


def write_openpyxl():
    import openpyxl
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Cuts"
    for r, row in enumerate([HEADINGS] + CUTS, start=1):
        for c, value in enumerate(row, start=1):
            if value != "":
                sheet.cell(row=r, column=c, value=value)
    for c, value in enumerate(HIDDEN, start=1):
        if value != "":
            sheet.cell(row=6, column=c, value=value)
    # A second sheet that must not be read.
    other = book.create_sheet("Notes")
    other["A2"] = "not a cut"
    book.save(os.path.join(HERE, "cuts_openpyxl.xlsx"))


def write_xlwt():
    import xlwt
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("Cuts")
    for r, row in enumerate([HEADINGS] + CUTS + [[""] * 13, HIDDEN]):
        for c, value in enumerate(row):
            if value != "":
                sheet.write(r, c, value)
    book.add_sheet("Notes").write(1, 0, "not a cut")
    book.save(os.path.join(HERE, "cuts.xls"))


def write_odfpy():
    from odf.opendocument import OpenDocumentSpreadsheet
    from odf.table import Table, TableRow, TableCell
    from odf.text import P
    doc = OpenDocumentSpreadsheet()
    table = Table(name="Cuts")
    for row in [HEADINGS] + CUTS + [[""] * 13, HIDDEN]:
        tr = TableRow()
        for value in row:
            if value == "":
                tr.addElement(TableCell())
            elif isinstance(value, (int, float)):
                cell = TableCell(valuetype="float", value=value)
                cell.addElement(P(text=str(value)))
                tr.addElement(cell)
            else:
                cell = TableCell(valuetype="string")
                cell.addElement(P(text=value))
                tr.addElement(cell)
        table.addElement(tr)
    doc.spreadsheet.addElement(table)
    notes = Table(name="Notes")
    doc.spreadsheet.addElement(notes)
    doc.save(os.path.join(HERE, "cuts.ods"))


# Written by hand, as streaming writers and ERP exports do: inline strings, no row or
# cell references on some cells, a prefixed namespace, rich-text shared strings, a
# cached formula result, and the first sheet in workbook order stored second in the zip.
HAND_CONTENT_TYPES = """<?xml version="1.0" encoding="UTF-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>
<Default Extension="xml" ContentType="application/xml"/>
<Override PartName="/book/main.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>
</Types>"""
HAND_ROOT_RELS = """<?xml version="1.0" encoding="UTF-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="book/main.xml"/>
</Relationships>"""
HAND_WORKBOOK = """<?xml version="1.0" encoding="UTF-8"?>
<x:workbook xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">
<x:sheets><x:sheet name="Cuts" sheetId="2" r:id="rIdB"/><x:sheet name="Notes" sheetId="1" r:id="rIdA"/></x:sheets>
</x:workbook>"""
HAND_WORKBOOK_RELS = """<?xml version="1.0" encoding="UTF-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
<Relationship Id="rIdA" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="/sheets/notes.xml"/>
<Relationship Id="rIdB" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="../sheets/./cuts.xml"/>
<Relationship Id="rIdS" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings" Target="strings.xml"/>
</Relationships>"""
HAND_STRINGS = """<?xml version="1.0" encoding="UTF-8"?>
<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" count="2" uniqueCount="2">
<si><t>5510</t></si>
<si><r><t xml:space="preserve">POLY </t></r><r><rPr><b/></rPr><t>COTTON WOVEN</t></r><rPh sb="0" eb="1"><t>phonetic</t></rPh></si>
</sst>"""


def inline(ref, text):
    return f'<x:c r="{ref}" t="inlineStr"><x:is><x:t xml:space="preserve">{text}</x:t></x:is></x:c>'


def hand_sheet():
    rows = []
    headings = "".join(f'<x:c t="inlineStr"><x:is><x:t>{h}</x:t></x:is></x:c>' for h in HEADINGS)
    rows.append(f'<x:row r="1">{headings}</x:row>')
    # Row 2: numbers, a shared string, a rich-text shared string, a cached formula.
    rows.append('<x:row r="2"><x:c r="A2"><x:v>40123</x:v></x:c><x:c r="B2" t="s"><x:v>0</x:v></x:c>'
                '<x:c r="C2" s="1"><x:f>3+4</x:f><x:v>7</x:v></x:c><x:c r="D2"><x:v>32</x:v></x:c>'
                '<x:c r="E2"><x:v>30</x:v></x:c>' + inline("F2", "REG") +
                '<x:c r="G2" t="s"><x:v>1</x:v></x:c>' + inline("H2", "65% POLYESTER") +
                inline("I2", "35% COTTON") + '<x:c r="J2" t="str"><x:f>"40123551007323"</x:f><x:v>40123551007323</x:v></x:c>' +
                inline("K2", "USA") + '<x:c r="L2"><x:v>2.4E1</x:v></x:c>' + inline("M2", "WB1") + '</x:row>')
    # Row 3 carries no references on its cells at all.
    row3 = ['<x:c t="inlineStr"><x:is><x:t>004512</x:t></x:is></x:c>',
            '<x:c t="inlineStr"><x:is><x:t>5520</x:t></x:is></x:c>',
            '<x:c><x:v>12</x:v></x:c>', '<x:c><x:v>34</x:v></x:c>', '<x:c><x:v>32.5</x:v></x:c>',
            '<x:c t="inlineStr"><x:is><x:r><x:t>LO</x:t></x:r><x:r><x:t>NG</x:t></x:r></x:is></x:c>',
            '<x:c t="inlineStr"><x:is><x:t>POLY WOOL WOVEN</x:t></x:is></x:c>',
            '<x:c t="inlineStr"><x:is><x:t>55% POLYESTER</x:t></x:is></x:c>',
            '<x:c t="inlineStr"><x:is><x:t>45% WOOL</x:t></x:is></x:c>',
            '<x:c t="inlineStr"><x:is><x:t>00451255201234</x:t></x:is></x:c>',
            '<x:c t="inlineStr"><x:is><x:t>MEXICO</x:t></x:is></x:c>',
            '<x:c><x:v>12</x:v></x:c>', '<x:c t="inlineStr"><x:is><x:t>WB2</x:t></x:is></x:c>']
    rows.append('<x:row>' + "".join(row3) + '</x:row>')
    rows.append('<x:row r="4">' + inline("A4", "40125") + inline("B4", "5530") + inline("C4", "123") +
                '<x:c r="D4"><x:v>36</x:v></x:c><x:c r="E4"><x:v>29</x:v></x:c>' + inline("F4", "SHORT") +
                inline("G4", "MICROFIBER") + inline("H4", "100% POLYESTER") +
                inline("J4", "40125553012336") + inline("K4", "CAFÉ") +
                '<x:c r="L4"><x:v>6</x:v></x:c>' + inline("M4", "WB3") + '</x:row>')
    # Row 5 has only an empty styled cell; row 6 the hidden cut; row 8 an error value.
    rows.append('<x:row r="5"><x:c r="A5" s="1"/></x:row>')
    rows.append('<x:row r="6"><x:c r="A6"><x:v>99999</x:v></x:c><x:c r="B6" t="b"><x:v>1</x:v></x:c></x:row>')
    rows.append('<x:row r="8"><x:c r="A8" t="e"><x:f>1/0</x:f><x:v>#DIV/0!</x:v></x:c>'
                '<x:c r="B8" t="inlineStr"><x:is><x:t>a_x000D_b</x:t></x:is></x:c></x:row>')
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<x:worksheet xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
            '<x:sheetData>' + "".join(rows) + '</x:sheetData></x:worksheet>')


def write_hand_xlsx():
    notes = ('<?xml version="1.0" encoding="UTF-8"?><worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
             '<sheetData><row r="2"><c r="A2" t="inlineStr"><is><t>not a cut</t></is></c></row></sheetData></worksheet>')
    with zipfile.ZipFile(os.path.join(HERE, "cuts_streamed.xlsx"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", HAND_CONTENT_TYPES)
        z.writestr("_rels/.rels", HAND_ROOT_RELS)
        z.writestr("sheets/notes.xml", notes)
        z.writestr("sheets/cuts.xml", hand_sheet())
        z.writestr("book/main.xml", HAND_WORKBOOK)
        z.writestr("book/_rels/main.xml.rels", HAND_WORKBOOK_RELS)
        z.writestr("book/strings.xml", HAND_STRINGS)


def write_ods_kinds():
    """Cell kinds of content.xml: saved formula results, repeats, spacing, notes, errors."""
    from odf.opendocument import OpenDocumentSpreadsheet
    from odf.office import Annotation
    from odf.table import Table, TableRow, TableCell, CoveredTableCell
    from odf.text import P, S, LineBreak
    doc = OpenDocumentSpreadsheet()
    table = Table(name="Cuts")

    def text(value):
        cell = TableCell(valuetype="string")
        cell.addElement(P(text=value))
        return cell

    # Row 1: a text formula whose saved result must be used as saved.
    row = TableRow()
    row.addElement(TableCell(valuetype="float", value=7, formula="of:=3+4"))
    cell = TableCell(valuetype="string", formula='of:="X"&"Y"')
    cell.addElement(P(text="XY"))
    row.addElement(cell)
    row.addElement(TableCell(valuetype="boolean", booleanvalue="false"))
    row.addElement(TableCell(valuetype="percentage", value="0.25"))
    table.addElement(row)
    # Rows 2 to 4: one row repeated three times, its first cell repeated over columns 1-2.
    row = TableRow(numberrowsrepeated=3)
    cell = TableCell(valuetype="float", value=12, numbercolumnsrepeated=2)
    row.addElement(cell)
    row.addElement(text("after"))
    table.addElement(row)
    # Row 5: spaces by text:s, two paragraphs, a note that is not cell text, a merged cell.
    row = TableRow()
    cell = TableCell(valuetype="string")
    p = P(text="A")
    p.addElement(S(c=3))
    p.addText("B")
    cell.addElement(p)
    row.addElement(cell)
    cell = TableCell(valuetype="string")
    note = Annotation()
    note.addElement(P(text="a note"))
    cell.addElement(note)
    cell.addElement(P(text="line one"))
    cell.addElement(P(text="line two"))
    row.addElement(cell)
    row.addElement(CoveredTableCell())
    cell = TableCell(valuetype="string")
    p = P(text="x")
    p.addElement(LineBreak())
    p.addText("y")
    cell.addElement(p)
    row.addElement(cell)
    table.addElement(row)
    # Rows 6 to 1000005: empty, as spreadsheet programs pad a sheet; then row 1000006.
    row = TableRow(numberrowsrepeated=1000000)
    row.addElement(TableCell(numbercolumnsrepeated=1024))
    table.addElement(row)
    row = TableRow()
    row.addElement(text("far below"))
    table.addElement(row)
    doc.spreadsheet.addElement(table)
    other = Table(name="Notes")
    row = TableRow()
    row.addElement(text("not a cut"))
    other.addElement(row)
    doc.spreadsheet.addElement(other)
    doc.save(os.path.join(HERE, "cell_kinds.ods"))


def write_demo_sheets():
    """demo/cuts.xlsx and demo/cuts.ods: the demo's cuts.csv as a spreadsheet program
    saves it, numbers as numbers (but a WIP with leading zeros stays a text)."""
    import csv
    import openpyxl
    from odf.opendocument import OpenDocumentSpreadsheet
    from odf.table import Table, TableRow, TableCell
    from odf.text import P
    demo = os.path.join(HERE, "..", "..", "..", "demo")
    with open(os.path.join(demo, "cuts.csv"), encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f))

    def value(text):
        if text.isdigit() and not (len(text) > 1 and text.startswith("0")):
            return int(text)
        return text

    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Cuts"
    for r, row in enumerate(rows, start=1):
        for c, text in enumerate(row, start=1):
            if text:
                sheet.cell(row=r, column=c, value=value(text) if r > 1 else text)
    book.save(os.path.join(demo, "cuts.xlsx"))

    doc = OpenDocumentSpreadsheet()
    table = Table(name="Cuts")
    for r, row in enumerate(rows):
        tr = TableRow()
        for text in row:
            v = value(text) if r > 0 else text
            if isinstance(v, int):
                cell = TableCell(valuetype="float", value=v)
            else:
                cell = TableCell(valuetype="string")
            cell.addElement(P(text=str(v)))
            tr.addElement(cell)
        table.addElement(tr)
    doc.spreadsheet.addElement(table)
    doc.save(os.path.join(demo, "cuts.ods"))


if __name__ == "__main__":
    write_csv()
    write_openpyxl()
    write_xlwt()
    write_odfpy()
    write_hand_xlsx()
    write_ods_kinds()
    write_demo_sheets()

#!/usr/bin/env python3
"""Writes the known hostile inputs into fuzz/regression/<target>/: files that once
crashed a reader, made it read past its data, or ran it out of memory or time."""

import io
import os
import struct
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ESC = b"\x1b"


def put(target, name, data):
    folder = os.path.join(HERE, "regression", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def pcx_header(width, height, bytes_per_line, encoding=1):
    header = bytearray(128)
    header[0:4] = bytes([0x0A, 5, encoding, 1])
    struct.pack_into("<HHHH", header, 4, 0, 0, width - 1, height - 1)
    header[19:22] = b"\xff\xff\xff"
    header[65] = 1
    struct.pack_into("<HH", header, 66, bytes_per_line, 1)
    return bytes(header)


def stream(*commands):
    return b"".join(ESC + c for c in (b"A",) + commands + (b"Q1", b"Z"))


def zipped(parts, compression=zipfile.ZIP_DEFLATED):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        for name, data in parts:
            z.writestr(zipfile.ZipInfo(name), data, compress_type=zipfile.ZIP_STORED if name == "mimetype" else compression)
    return buffer.getvalue()


XLSX_FIXED = [
    ("[Content_Types].xml",
     b'<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
     b'<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
     b'<Default Extension="xml" ContentType="application/xml"/></Types>'),
    ("_rels/.rels",
     b'<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
     b'<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" '
     b'Target="xl/workbook.xml"/></Relationships>'),
    ("xl/workbook.xml",
     b'<?xml version="1.0" encoding="UTF-8"?><workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" '
     b'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"><sheets>'
     b'<sheet name="Cuts" sheetId="1" r:id="rId1"/></sheets></workbook>'),
    ("xl/_rels/workbook.xml.rels",
     b'<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
     b'<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" '
     b'Target="worksheets/sheet1.xml"/></Relationships>'),
]


def xlsx_sheet(rows):
    return (b'<?xml version="1.0" encoding="UTF-8"?><worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
            b"<sheetData>" + rows + b"</sheetData></worksheet>")


def ods_content(rows):
    return (b'<?xml version="1.0" encoding="UTF-8"?><office:document-content '
            b'xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
            b'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
            b'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"><office:body><office:spreadsheet>'
            b'<table:table table:name="Cuts">' + rows + b"</table:table></office:spreadsheet></office:body></office:document-content>")


def ods(content):
    return zipped([("mimetype", b"application/vnd.oasis.opendocument.spreadsheet"), ("content.xml", content)])


def row(*cells):
    return b"<table:table-row>" + b"".join(cells) + b"</table:table-row>"


def cell(text, extra=b""):
    return b'<table:table-cell office:value-type="string"' + extra + b"><text:p>" + text + b"</text:p></table:table-cell>"


def main():
    # The preview: an empty bar code, a picture header asking for a gigabyte, module width 99.
    put("label_stream", "empty_bar_code.sbpl", stream(b"BG03100>H"))
    put("label_stream", "empty_bar_code_at_end.sbpl", ESC + b"A" + ESC + b"Q1" + ESC + b"BG03100>H")
    header = pcx_header(16000, 16000, 65535)
    put("label_stream", "picture_header_asks_for_a_gigabyte.sbpl",
        stream(b"H0010", b"V0010", b"GP00129," + header + b"\xff"))
    put("label_stream", "module_width_99.sbpl",
        stream(b"H0010", b"V0010", b"BG99999>H" + b"0123456789" * 8, b"%3", b"H0900", b"V0010", b"BG99999>H" + b"ABCDEFGHIJ" * 8))
    put("label_stream", "text_past_a_metre.sbpl", stream(b"A3H-9999V9999", b"H9999", b"V9999", b"XM" + b"W" * 5000))
    put("pcx", "header_asks_for_a_gigabyte.pcx", header + b"\xff")
    put("pcx", "plain_header_asks_for_more_than_its_data.pcx", pcx_header(16000, 16000, 2000, encoding=0) + b"\x00" * 64)

    # ods: a text:s repeat of two thousand million blanks; repeat counts past int.
    put("ods_xml", "text_s_c_2e9.xml", ods_content(row(cell(b'40123<text:s text:c="2000000000"/>x'))))
    put("ods", "text_s_c_2e9.ods", ods(ods_content(row(cell(b'40123<text:s text:c="2000000000"/>x')))))
    put("ods_xml", "rows_repeated_int_max.xml",
        ods_content(row(cell(b"WIP")) + b'<table:table-row table:number-rows-repeated="2147483647">'
                    b"<table:table-cell/></table:table-row>" + row(cell(b"40123"))))
    put("ods_xml", "columns_repeated_int_max.xml",
        ods_content(b"<table:table-row>" + cell(b"a", b' table:number-columns-repeated="2147483647"') +
                    cell(b"b", b' table:number-columns-repeated="2147483647"') + b"</table:table-row>"))

    # xlsx: a row numbered 2147483647 followed by another; a cell in column XFD on every row;
    # one cell inflating to hundreds of megabytes.
    put("xlsx_xml", "row_r_int_max.xml",
        xlsx_sheet(b'<row r="1"><c r="A1" t="inlineStr"><is><t>WIP</t></is></c></row>'
                   b'<row r="2147483647"><c r="A2147483647"><v>1</v></c></row><row><c><v>2</v></c></row>'))
    put("xlsx_xml", "column_xfd_every_row.xml",
        xlsx_sheet(b"".join(b'<row r="%d"><c r="A%d"><v>%d</v></c><c r="XFD%d"><v>1</v></c></row>' % (r, r, r, r)
                            for r in range(1, 3001))))
    put("xlsx_xml", "cell_ref_past_xfd.xml",
        xlsx_sheet(b'<row r="1"><c r="XFE1"><v>1</v></c><c r="AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA1"><v>1</v></c></row>'))
    put("xlsx", "one_cell_inflates_to_300_mb.xlsx",
        zipped(XLSX_FIXED + [("xl/worksheets/sheet1.xml",
                              xlsx_sheet(b'<row r="1"><c r="A1" t="inlineStr"><is><t>' + b"A" * (300 << 20) +
                                         b"</t></is></c></row>"))]))

    # CSV: one field of 256 kB, past the cell limit.
    put("csv", "field_of_256_kb.csv", b'WIP\r\n"' + b"x" * (256 << 10) + b'"\r\n')


if __name__ == "__main__":
    main()

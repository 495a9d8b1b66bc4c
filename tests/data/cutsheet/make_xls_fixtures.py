#!/usr/bin/python3
"""Writes the hand-built xls fixtures of this folder, byte by byte, for the record
kinds and splits that spreadsheet programs write only now and then:
  xls_cell_kinds.xls  Excel 97 (BIFF8): a chart sheet before the first worksheet;
                      shared strings split across CONTINUE records (8-bit then 16-bit
                      characters, a header at the very end of a record, rich-text runs
                      across the split), rich-text and phonetic data, C1 bytes,
                      surrogates; RK, MULRK, NUMBER, BLANK, MULBLANK, BOOLERR, LABEL;
                      FORMULA with number, text (STRING, also split and after
                      SHRFMLA), boolean, error and empty-text results; a chart embedded
                      in the worksheet; a cell in column N and one in row 65536.
  xls_biff5.xls       Excel 5/95 (BIFF5, "Book" stream), code page 1252: LABEL,
                      RSTRING, an 8-bit formula text result.
  xls_biff5_cp1251.xls  the same in code page 1251.
  xls_biff5_cpNNN.xls another code page's text in B1: 932, 936, 949, 950, 1250,
                      1253, 874 and Mac Roman (10000), and 3 (no code page at all).
  xls_encrypted.xls   BIFF8 with FILEPASS.
  xls_hidden_first.xls  BIFF8 whose first worksheet, "Old cuts", is very hidden.
  xls_excel4.xls      an Excel 4 worksheet (BIFF4, no compound-file container).
Run: /usr/bin/python3 tests/data/cutsheet/make_xls_fixtures.py"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SECTOR = 512
MINI = 64
END = 0xFFFFFFFE
FREE = 0xFFFFFFFF
FATSECT = 0xFFFFFFFD


def compound_file(stream_name, stream):
    """A version 3 compound file holding one stream; under 4096 bytes it goes to the
    mini stream, as real writers put it."""
    sectors = []  # (bytes, next) built in order; FAT written last

    def add_chain(data, size):
        count = max(1, (len(data) + size - 1) // size)
        first = len(sectors)
        for i in range(count):
            sectors.append(data[i * size:(i + 1) * size].ljust(size, b"\0"))
        return first, count

    chains = []
    mini = len(stream) < 4096
    if mini:
        mini_count = (len(stream) + MINI - 1) // MINI
        minifat = [i + 1 for i in range(mini_count)]
        minifat[-1] = END
        minifat += [FREE] * ((-len(minifat)) % (SECTOR // 4))
        minifat_first, n = add_chain(struct.pack("<%dI" % len(minifat), *minifat), SECTOR)
        chains.append((minifat_first, n))
        ministream = stream.ljust(mini_count * MINI, b"\0")
        root_first, n = add_chain(ministream, SECTOR)
        chains.append((root_first, n))
        root_size = len(ministream)
        stream_first = 0
        minifat_count = len(minifat) * 4 // SECTOR
    else:
        stream_first, n = add_chain(stream, SECTOR)
        chains.append((stream_first, n))
        root_first, root_size, minifat_first, minifat_count = END, 0, END, 0

    def entry(name, kind, child, start, size, color=1):
        encoded = (name + "\0").encode("utf-16-le") if name else b""
        return (encoded.ljust(64, b"\0") + struct.pack("<HBB", len(encoded), kind, color) +
                struct.pack("<III", FREE, FREE, child) + b"\0" * 16 + struct.pack("<I", 0) +
                b"\0" * 16 + struct.pack("<IQ", start, size))

    directory = (entry("Root Entry", 5, 1, root_first, root_size) +
                 entry(stream_name, 2, FREE, stream_first, len(stream)) +
                 entry("", 0, FREE, 0, 0, 0) * 2)
    dir_first, n = add_chain(directory, SECTOR)
    chains.append((dir_first, n))

    fat_count = 1
    while (len(sectors) + fat_count) * 4 > fat_count * SECTOR:
        fat_count += 1
    fat = [FREE] * (fat_count * SECTOR // 4)
    for first, count in chains:
        for i in range(first, first + count - 1):
            fat[i] = i + 1
        fat[first + count - 1] = END
    fat_first = len(sectors)
    for i in range(fat_count):
        fat[fat_first + i] = FATSECT
    fat_bytes = struct.pack("<%dI" % len(fat), *fat)
    for i in range(fat_count):
        sectors.append(fat_bytes[i * SECTOR:(i + 1) * SECTOR])

    difat = [fat_first + i for i in range(fat_count)] + [FREE] * (109 - fat_count)
    header = (b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + b"\0" * 16 +
              struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) + b"\0" * 6 +
              struct.pack("<IIIIIIIII", 0, fat_count, dir_first, 0, 4096, minifat_first,
                          minifat_count, END, 0) +
              struct.pack("<109I", *difat))
    return header + b"".join(sectors)


def record(kind, data=b""):
    return struct.pack("<HH", kind, len(data)) + data


def bof8(kind):
    return record(0x0809, struct.pack("<HHHHII", 0x0600, kind, 0x0DBB, 0x07CC, 0, 0x0206))


def bof5(kind):
    return record(0x0809, struct.pack("<HHHH", 0x0500, kind, 0x0DBB, 0x07CC))


EOF = record(0x000A)


def cell(row, col):
    return struct.pack("<HHH", row, col, 15)


def u8(text):
    return struct.pack("<HB", len(text), 0) + text.encode("latin-1")


def u16(text):
    units = text.encode("utf-16-le")
    return struct.pack("<HB", len(units) // 2, 1) + units


def rk_int(value):
    return struct.pack("<i", (value << 2) | 2)


def workbook8(sheets, globals_extra=b"", sst=b""):
    """Globals then the sheets; BOUNDSHEET offsets are patched in once the length of
    the globals is known. sheets: (name, type, substream bytes[, state: 1 hidden,
    2 very hidden])."""
    def globals_with(offsets):
        out = bof8(5) + globals_extra + record(0x0042, struct.pack("<H", 1200))
        for sheet, offset in zip(sheets, offsets):
            name, kind, state = sheet[0], sheet[1], sheet[3] if len(sheet) > 3 else 0
            out += record(0x0085, struct.pack("<IBB", offset, state, kind) + struct.pack("<BB", len(name), 0) +
                          name.encode("latin-1"))
        return out + sst + EOF

    size = len(globals_with([0] * len(sheets)))
    offsets = []
    for sheet in sheets:
        offsets.append(size)
        size += len(sheet[2])
    return globals_with(offsets) + b"".join(sheet[2] for sheet in sheets)


def cell_kinds():
    # The shared strings, with explicit CONTINUE boundaries: each list is one record.
    parts = [[struct.pack("<II", 9, 9)]]
    parts[0].append(u8("5510"))
    runs = struct.pack("<HH", 0, 0) + struct.pack("<HH", 5, 1)
    parts[0].append(struct.pack("<HBH", 17, 0x08, 2) + b"POLY COTTON WOVEN" + runs)
    phonetic = b"\x01\x00\x08\x00" + b"\0" * 8
    parts[0].append(struct.pack("<HBI", 4, 0x04, len(phonetic)) + b"LONG" + phonetic)
    # "SPLIT " in the SST record in 8 bits, "€URO" in the CONTINUE in 16 bits.
    parts[0].append(struct.pack("<HB", 10, 0) + b"SPLIT ")
    parts.append([b"\x01" + "€URO".encode("utf-16-le")])
    parts[1].append(struct.pack("<HB", 4, 0) + b"\x80\x9f\xc9A")
    # U+1F600 as a surrogate pair, a blank, a lone high surrogate, "x".
    parts[1].append(struct.pack("<HB", 5, 1) + b"\x3d\xd8\x00\xde" + b"\x20\x00" + b"\x00\xd8" + b"x\x00")
    # A rich string whose runs continue in the next record (no flag byte there).
    parts[1].append(struct.pack("<HBH", 3, 0x08, 2) + b"RUN" + struct.pack("<HH", 0, 0))
    parts.append([struct.pack("<HH", 1, 1)])
    # A header at the very end of a record: the characters start, with their flag, in the next.
    parts[2].append(struct.pack("<HB", 4, 0))
    parts.append([b"\x00" + b"HEAD"])
    parts[3].append(u8("not a cut"))
    sst = record(0x00FC, b"".join(parts[0])) + b"".join(record(0x003C, b"".join(p)) for p in parts[1:])

    def labelsst(row, col, index):
        return record(0x00FD, cell(row, col) + struct.pack("<I", index))

    def number(row, col, value):
        return record(0x0203, cell(row, col) + struct.pack("<d", value))

    def formula(row, col, result, tail=b""):
        return record(0x0006, cell(row, col) + result + struct.pack("<HI", 0, 0) + struct.pack("<H", 0)) + tail

    def special(kind, value=0):
        return struct.pack("<BBBBHH", kind, 0, value, 0, 0, 0xFFFF)

    def string(text):
        return record(0x0207, u8(text) if all(ord(c) < 256 for c in text) else u16(text))

    body = bof8(0x10) + record(0x0200, struct.pack("<IIHHH", 0, 65536, 0, 14, 0))
    body += b"".join(labelsst(0, c, c) for c in range(8)) + labelsst(0, 13, 0)
    rk_cells = [rk_int(40123), struct.pack("<i", (3250 << 2) | 3),
                struct.pack("<I", struct.unpack("<Q", struct.pack("<d", 0.25))[0] >> 32),
                rk_int(-7), struct.pack("<i", (12345 << 2) | 3)]
    body += record(0x00BD, struct.pack("<HH", 1, 0) + b"".join(struct.pack("<H", 15) + r for r in rk_cells) +
                   struct.pack("<H", 4))
    body += record(0x027E, cell(1, 5) + rk_int(24))
    body += number(1, 6, 3.14159)
    body += record(0x0201, cell(1, 7))
    body += record(0x00BE, struct.pack("<HH", 1, 8) + struct.pack("<HHH", 15, 15, 15) + struct.pack("<H", 10))
    body += number(1, 11, 1e20)
    body += b"".join(record(0x0205, cell(2, c) + struct.pack("<BB", v, e))
                     for c, (v, e) in enumerate([(1, 0), (0, 0), (0x07, 1), (0x2A, 1), (0x00, 1), (0x0F, 1),
                                                 (0x17, 1), (0x1D, 1), (0x24, 1)]))
    body += formula(3, 0, struct.pack("<d", 40123))
    body += formula(3, 1, special(0), string("40123551007323"))
    body += formula(3, 2, special(1, 1))
    body += formula(3, 3, special(2, 0x0F))
    body += formula(3, 4, special(3))
    split = "€" * 3 + "ABC"
    body += formula(3, 5, special(0), record(0x0207, struct.pack("<HB", len(split), 1) + "€€€".encode("utf-16-le")) +
                    record(0x003C, b"\x00ABC"))
    body += formula(3, 6, special(0), record(0x04BC, b"\0" * 10) + string("SHARED"))
    body += record(0x0204, cell(4, 0) + u16("LABEL €"))
    # An embedded chart: its records belong to the chart, not to the sheet.
    body += bof8(0x20) + number(4, 1, 666) + EOF
    body += number(4, 2, 5)
    body += labelsst(65535, 0, 3)
    body += EOF

    chart = bof8(0x20) + EOF
    notes = bof8(0x10) + labelsst(0, 0, 8) + EOF
    return workbook8([("Chart1", 2, chart), ("Cuts", 0, body), ("Notes", 0, notes)], sst=sst)


def biff5(codepage, text=b"CAF\xc9 \x80"):
    def boundsheet(offset, name):
        return record(0x0085, struct.pack("<IBBB", offset, 0, 0, len(name)) + name.encode("latin-1"))

    def globals_with(offset):
        return bof5(5) + record(0x0042, struct.pack("<H", codepage)) + boundsheet(offset, "Cuts") + EOF

    def label(row, col, data):
        return record(0x0204, cell(row, col) + struct.pack("<H", len(data)) + data)

    body = bof5(0x10)
    body += label(0, 0, b"PLAIN")
    body += label(0, 1, text)
    body += record(0x00D6, cell(0, 2) + struct.pack("<H", 4) + b"RICH" + struct.pack("<B", 1) + b"\0\0")
    body += record(0x0006, cell(0, 3) + struct.pack("<BBBBHH", 0, 0, 0, 0, 0, 0xFFFF) + struct.pack("<HI", 0, 0) +
                   struct.pack("<H", 0)) + record(0x0207, struct.pack("<H", 3) + b"\xe0\xe1\xe2")
    body += record(0x027E, cell(0, 4) + rk_int(12))
    body += EOF
    return globals_with(len(globals_with(0))) + body


def encrypted():
    filepass = record(0x002F, struct.pack("<HHH", 1, 1, 1) + b"\0" * 48)
    sheet = bof8(0x10) + EOF
    return workbook8([("Cuts", 0, sheet)], globals_extra=filepass)


def excel4():
    return (record(0x0409, struct.pack("<HHH", 0, 0x10, 0)) + record(0x0204, cell(0, 0) + b"\x01A") + EOF)


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


write("xls_cell_kinds.xls", compound_file("Workbook", cell_kinds()))
write("xls_biff5.xls", compound_file("Book", biff5(1252)))
write("xls_biff5_cp1251.xls", compound_file("Book", biff5(1251)))
for page, text in [(932, "東京 ｶﾞｰﾄﾞ"), (936, "棉 裤"), (949, "면 바지"), (950, "棉褲"), (1250, "Łódź"),
                   (1253, "Αθήνα"), (874, "ผ้าฝ้าย"), (10000, "Café ƒ")]:
    codec = "mac_roman" if page == 10000 else "cp%d" % page
    write("xls_biff5_cp%d.xls" % page, compound_file("Book", biff5(page, text.encode(codec))))
write("xls_biff5_cp3.xls", compound_file("Book", biff5(3)))
write("xls_encrypted.xls", compound_file("Workbook", encrypted()))
write("xls_hidden_first.xls", compound_file("Workbook", workbook8(
    [("Old cuts", 0, bof8(0x10) + record(0x027E, cell(1, 0) + rk_int(4012)) + EOF, 2),
     ("Cuts", 0, bof8(0x10) + record(0x027E, cell(1, 0) + rk_int(5012)) + EOF)])))
write("xls_excel4.xls", excel4())

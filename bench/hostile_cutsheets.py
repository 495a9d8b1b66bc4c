#!/usr/bin/env python3
"""Runs `tarnwick-cli cuts` and `cut` on hostile cut sheets and measures each run.

Every file is small or quick to make but asks a careless reader for gigabytes or
minutes: a run must end in under 10 s with under 256 MB peak memory (resident set, as
/usr/bin/time -v reports it), with exit status 1 and a message naming the file, or
status 0 where the file is sound. Prints one line per file and run; exits 1 when a
bound is broken.

    python3 bench/hostile_cutsheets.py [build/bin/tarnwick-cli]
"""
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

SECONDS, MEGABYTES = 10.0, 256
MB = 1 << 20


def xlsx(path, write_sheet, shared=None):
    """An xlsx whose worksheet (and shared strings) are streamed in by the writers."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        z.writestr("[Content_Types].xml", "<Types/>")
        z.writestr("xl/workbook.xml", '<workbook><sheets><sheet name="S" sheetId="1" r:id="rId1"/></sheets></workbook>')
        z.writestr("xl/_rels/workbook.xml.rels",
                   '<Relationships><Relationship Id="rId1" Type="x/worksheet" Target="worksheets/sheet1.xml"/>'
                   '<Relationship Id="rId2" Type="x/sharedStrings" Target="sharedStrings.xml"/></Relationships>')
        with z.open("xl/worksheets/sheet1.xml", "w", force_zip64=True) as f:
            f.write(b"<worksheet><sheetData>")
            write_sheet(f)
            f.write(b"</sheetData></worksheet>")
        if shared:
            with z.open("xl/sharedStrings.xml", "w", force_zip64=True) as f:
                f.write(b"<sst>")
                shared(f)
                f.write(b"</sst>")


def ods(path, rows):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        z.writestr("mimetype", "application/vnd.oasis.opendocument.spreadsheet", zipfile.ZIP_STORED)
        z.writestr("content.xml", "<office:document-content><office:body><office:spreadsheet><table:table>" + rows +
                   "</table:table></office:spreadsheet></office:body></office:document-content>")


def repeat(f, piece, total):
    block = piece * max(1, (4 * MB) // len(piece))
    written = 0
    while written < total:
        f.write(block)
        written += len(block)


def heading_row(f):
    f.write(b'<row r="1"><c r="A1" t="inlineStr"><is><t>WIP</t></is></c></row>')


def many_entries_xls(path, entries=522880):
    """An Excel file (compound file, 4 KB sectors) whose directory holds half a million
    stream entries in a 64 MB directory, and no workbook stream."""
    import struct
    sector = 4096
    per_sector = sector // 128
    dir_sectors = (entries + per_sector - 1) // per_sector
    fat_entries = dir_sectors + 64
    fat_sectors = (fat_entries * 4 + sector - 1) // sector
    assert fat_sectors <= 109
    total = fat_sectors + dir_sectors
    fat = [0xFFFFFFFD] * fat_sectors
    for i in range(dir_sectors):
        fat.append(fat_sectors + i + 1 if i + 1 < dir_sectors else 0xFFFFFFFE)
    fat += [0xFFFFFFFF] * (fat_sectors * sector // 4 - len(fat))
    header = bytearray(512)
    header[0:8] = bytes.fromhex("D0CF11E0A1B11AE1")
    struct.pack_into("<HHHHH", header, 0x18, 0x3E, 4, 0xFFFE, 12, 6)
    struct.pack_into("<IIIIIIIII", header, 0x28, dir_sectors, fat_sectors, fat_sectors, 0, 4096, 0xFFFFFFFE, 0,
                     0xFFFFFFFE, 0)
    difat = list(range(fat_sectors)) + [0xFFFFFFFF] * (109 - fat_sectors)
    struct.pack_into("<109I", header, 0x4C, *difat)

    def entry(name, kind, child, right):
        units = name.encode("utf-16-le") + b"\0\0"
        e = bytearray(128)
        e[0:len(units)] = units
        struct.pack_into("<HBB", e, 0x40, len(units), kind, 1)
        struct.pack_into("<III", e, 0x44, 0xFFFFFFFF, right, child)
        struct.pack_into("<IQ", e, 0x74, 0xFFFFFFFE if kind == 5 else 0, 0)
        return bytes(e)

    with open(path, "wb") as f:
        f.write(bytes(header) + b"\0" * (sector - 512))
        f.write(struct.pack("<%dI" % len(fat), *fat))
        f.write(entry("Root Entry", 5, 1, 0xFFFFFFFF))
        for i in range(1, entries):
            f.write(entry("Stream %d" % i, 2, 0xFFFFFFFF, i + 1 if i + 1 < entries else 0xFFFFFFFF))
        f.write(b"\0" * (dir_sectors * per_sector - entries) * 128)


def make_files(folder):
    files = {}

    def path(name):
        files[name] = os.path.join(folder, name)
        return files[name]

    # ods: one text:s asking for two billion blanks.
    ods(path("spaces.ods"), '<table:table-row><table:table-cell><text:p>WIP</text:p></table:table-cell></table:table-row>'
                            '<table:table-row><table:table-cell><text:p>a<text:s text:c="2000000000"/>'
                            '</text:p></table:table-cell></table:table-row>')
    # ods: a repeat count past any sheet, then a cut.
    ods(path("rows_repeated.ods"), '<table:table-row table:number-rows-repeated="2147483647"><table:table-cell/>'
                                   '</table:table-row><table:table-row><table:table-cell office:value-type="float" '
                                   'office:value="1"/></table:table-row>')
    # xlsx: a cut on every row to the sheet's end, each with a cell in column XFD.
    def xfd_rows(f):
        heading_row(f)
        for r in range(2, 1048577):
            f.write(b'<row r="%d"><c r="A%d"><v>%d</v></c><c r="L%d"><v>1</v></c><c r="XFD%d"><v>1</v></c></row>'
                    % (r, r, r, r, r))
    xlsx(path("xfd_every_row.xlsx"), xfd_rows)
    # xlsx: one cell that inflates to 2 GB.
    def one_huge_cell(f):
        heading_row(f)
        f.write(b'<row r="2"><c r="A2" t="inlineStr"><is><t>')
        repeat(f, b"A", 2048 * MB)
        f.write(b"</t></is></c></row>")
    xlsx(path("huge_cell.xlsx"), one_huge_cell)
    # xlsx: a start tag and a comment that never end: 1 GB each for the XML parser to hold.
    def huge_tag(f):
        heading_row(f)
        f.write(b'<row r="2"><c r="A2" t="')
        repeat(f, b"t", 1024 * MB)
        f.write(b'"><v>1</v></c></row>')
    xlsx(path("huge_tag.xlsx"), huge_tag)
    def huge_comment(f):
        heading_row(f)
        f.write(b"<!--")
        repeat(f, b"c", 1024 * MB)
        f.write(b'-->')
    xlsx(path("huge_comment.xlsx"), huge_comment)
    # xlsx: nested entities ("billion laughs").
    with zipfile.ZipFile(path("laughs.xlsx"), "w", zipfile.ZIP_DEFLATED) as z:
        entities = '<!ENTITY l0 "lol">' + "".join(f'<!ENTITY l{i} "{("&l%d;" % (i - 1)) * 10}">' for i in range(1, 10))
        z.writestr("[Content_Types].xml", "<Types/>")
        z.writestr("xl/workbook.xml", '<workbook><sheets><sheet name="S" sheetId="1" r:id="rId1"/></sheets></workbook>')
        z.writestr("xl/_rels/workbook.xml.rels",
                   '<Relationships><Relationship Id="rId1" Type="x/worksheet" Target="worksheets/sheet1.xml"/></Relationships>')
        z.writestr("xl/worksheets/sheet1.xml", f'<!DOCTYPE worksheet [{entities}]><worksheet><sheetData><row r="1">'
                   '<c t="inlineStr"><is><t>WIP</t></is></c></row><row r="2"><c t="inlineStr"><is><t>&l9;</t></is></c>'
                   '</row></sheetData></worksheet>')
    # xlsx: a zip directory of 200,000 parts (zip64), which a zip library reads whole.
    with zipfile.ZipFile(path("many_parts.xlsx"), "w", zipfile.ZIP_STORED) as z:
        z.writestr("[Content_Types].xml", "<Types/>")
        for i in range(200000):
            z.writestr("p/%d" % i, b"")
    # xlsx: a row number that overflows int, then a row after it.
    xlsx(path("row_overflow.xlsx"), lambda f: f.write(b'<row r="2147483647"><c><v>1</v></c></row><row><c><v>2</v></c></row>'))
    # xlsx: 2 GB of empty cells right of column 13 in every row: only time to spend.
    def wide_rows(f):
        heading_row(f)
        empty = b"<c/>" * 16370
        for r in range(2, 32770):
            f.write(b'<row r="%d"><c r="A%d"><v>%d</v></c>' % (r, r, r) + empty + b"</row>")
    xlsx(path("wide_rows.xlsx"), wide_rows)
    # xlsx: rows of thirteen cells of 30,000 characters each: more held than a cut sheet has.
    def long_cells(f):
        heading_row(f)
        text = b"B" * 30000
        for r in range(2, 400):
            f.write(b'<row r="%d">' % r + b"".join(b'<c t="inlineStr"><is><t>' + text + b"</t></is></c>" for _ in range(13)) + b"</row>")
    xlsx(path("long_cells.xlsx"), long_cells)
    # xlsx: both of the above at once: long inline texts and long shared strings in every row.
    long_text = b"F" * 30000
    def mixed_sheet(f):
        heading_row(f)
        for r in range(2, 600):
            inline = b"".join(b'<c t="inlineStr"><is><t>' + long_text + b"</t></is></c>" for _ in range(6))
            shared = b"".join(b'<c t="s"><v>%d</v></c>' % ((r - 2) * 6 + i) for i in range(6))
            f.write(b'<row r="%d">' % r + inline + shared + b"</row>")
    def mixed_strings(f):
        for _ in range(600 * 6):
            f.write(b"<si><t>" + long_text + b"</t></si>")
    xlsx(path("mixed_strings.xlsx"), mixed_sheet, mixed_strings)
    # xlsx: a shared-string table of 1 GB of strings, the cut naming the last one.
    def sst_sheet(f):
        heading_row(f)
        f.write(b'<row r="2"><c r="A2" t="s"><v>4000000</v></c></row>')
    def sst(f):
        item = b"<si><t>" + b"C" * 250 + b"</t></si>"
        for _ in range(4000001):
            f.write(item)
    xlsx(path("shared_strings.xlsx"), sst_sheet, sst)
    # xls: a compound-file directory of 522,880 entries (64 MB), each once kept with two strings.
    many_entries_xls(path("many_entries.xls"))
    # csv: one field of 100 MB.
    with open(path("field_100mb.csv"), "wb") as f:
        f.write(b"WIP,Qty\r\n\"")
        repeat(f, b"D", 100 * MB)
        f.write(b"\",1\r\n")
    # csv: rows of thirteen fields of 30,000 characters each.
    with open(path("long_cells.csv"), "wb") as f:
        f.write(b"WIP\r\n")
        row = b",".join([b"E" * 30000] * 13) + b"\r\n"
        for _ in range(400):
            f.write(row)
    # csv: 600 MB of delimiters on one line.
    with open(path("commas_600mb.csv"), "wb") as f:
        f.write(b"WIP\r\n1")
        repeat(f, b",", 600 * MB)
        f.write(b"\r\n")
    return files


def measure(cli, args, folder):
    run = subprocess.run(["/usr/bin/time", "-f", "%e %M", cli] + args + ["--folder", folder],
                         capture_output=True, text=True, errors="replace")
    last = run.stderr.strip().splitlines()[-1]
    seconds, kilobytes = last.split()
    message = run.stderr.strip().splitlines()[0] if run.stderr.strip().count("\n") else ""
    return run.returncode, float(seconds), int(kilobytes) / 1024, message


def main():
    cli = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "build", "bin", "tarnwick-cli")
    folder = tempfile.mkdtemp(prefix="tarnwick-hostile-")
    try:
        with open(os.path.join(folder, "config.txt"), "w") as f:
            f.write("Hostile cut sheets\r\nStartRow,2\r\nExtraQty,0\r\nSpareValue,0\r\nBaseH,0010\r\nBaseV,005\r\n")
        files = make_files(folder)
        broken = False
        print(f"{'file':22} {'size':>10} {'run':5} {'status':>6} {'seconds':>8} {'peak MB':>8}  message")
        for name, path in files.items():
            for run in (["cuts", path], ["cut", path, "2"]):
                status, seconds, peak, message = measure(cli, run, folder)
                ok = seconds < SECONDS and peak < MEGABYTES and status in (0, 1)
                broken |= not ok
                print(f"{name:22} {os.path.getsize(path):>10} {run[0]:5} {status:>6} {seconds:>8.2f} {peak:>8.1f}  "
                      f"{'' if ok else 'OVER BOUND '}{message[:150]}")
        return 1 if broken else 0
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

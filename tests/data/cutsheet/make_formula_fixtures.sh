#!/bin/sh
# Writes the formula fixtures of this folder:
#   formulas_unsaved.xlsx          openpyxl: formulas only, no saved results (as report
#                                  generators write them)
#   formulas_saved.{xls,xlsx,ods}  gnumeric's ssconvert: the same workbook recalculated
#                                  and saved with every result, as a spreadsheet program
#   formulas_saved_biff5.xls       the same as an Excel 5/95 workbook
#   formulas_saved.csv             the results as gnumeric computes them
# and the hand-built xls files of make_xls_fixtures.py.
# The cut rows hold the three cuts of cuts.csv, with the WIP, waist, bar code and
# quantity of the first cut and the bar codes of the others made by formulas; row 8
# holds formulas giving an error, a boolean, an error value, a date and an empty text.
# Run from anywhere: sh tests/data/cutsheet/make_formula_fixtures.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
need=""
command -v ssconvert >/dev/null 2>&1 || need="$need gnumeric"
/usr/bin/python3 -c 'import openpyxl' 2>/dev/null || need="$need python3-openpyxl"
if [ -n "$need" ]; then
    apt-get install -y --no-install-recommends $need
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$here/formulas_unsaved.xlsx" <<'EOF'
import sys
import openpyxl

HEADINGS = ["WIP", "Style", "Color", "Waist", "Length", "Length Desc", "Line 1", "Line 2",
            "Line 3", "Barcode", "Made In", "Qty", "Stock"]
ROWS = [
    ["=40000+123", "5510", 7, "=30+2", 30, "REG", "POLY COTTON WOVEN", "65% POLYESTER",
     "35% COTTON", '=A2&B2&"0"&C2&D2&"3"', "USA", "=20+4", "WB1"],
    ["004512", "5520", 12, 34, 32.5, "LONG", "POLY WOOL WOVEN", "55% POLYESTER", "45% WOOL",
     "=A3&B3&C3&D3", "MEXICO", 12, "WB2"],
    [40125, "5530", "123", 36, 29, "SHORT", "MICROFIBER", "100% POLYESTER", None,
     "=A4&B4&C4&D4", "CAFÉ", 6, "WB3"],
]
book = openpyxl.Workbook()
sheet = book.active
sheet.title = "Cuts"
sheet.append(HEADINGS)
for row in ROWS:
    sheet.append(row)
sheet["A6"] = 99999
for column, formula in zip("ABCDE", ["=1/0", "=1>0", "=NA()", "=DATE(2024,3,1)", '=""']):
    sheet[column + "8"] = formula
book.create_sheet("Notes")["A2"] = "not a cut"
book.save(sys.argv[1])
EOF

cd "$work"
ssconvert --recalc "$here/formulas_unsaved.xlsx" "$here/formulas_saved.xls" -T Gnumeric_Excel:excel_biff8
ssconvert --recalc "$here/formulas_unsaved.xlsx" "$here/formulas_saved_biff5.xls" -T Gnumeric_Excel:excel_biff7
ssconvert --recalc "$here/formulas_unsaved.xlsx" "$here/formulas_saved.xlsx" -T Gnumeric_Excel:xlsx2
ssconvert --recalc "$here/formulas_unsaved.xlsx" "$here/formulas_saved.ods" -T Gnumeric_OpenCalc:odf
ssconvert --recalc "$here/formulas_unsaved.xlsx" "$here/formulas_saved.csv" -T Gnumeric_stf:stf_csv

/usr/bin/python3 "$here/make_xls_fixtures.py"

#!/bin/bash
# Makes the small seed corpora under fuzz/corpus/ from the project's own fixtures and
# demo plant, and from streams tarnwick-cli composes. Run from anywhere after a build:
#   fuzz/make_corpus.sh [path/to/tarnwick-cli]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
cli=${1:-$src/build/bin/tarnwick-cli}
corpus=$here/corpus
data=$src/tests/data/cutsheet
rm -rf "$corpus"
mkdir -p "$corpus"/{csv,xlsx,xlsx_xml,ods,ods_xml,xls,open_cut_sheet,config,style_csv,label_stream,pcx,label_builders}

cp "$data"/cuts.csv "$data"/formulas_saved.csv "$corpus/csv/"
cp "$src"/demo/cuts.csv "$corpus/csv/demo_cuts.csv"
printf 'WIP,Style\r\n"a ""quoted"", field",x\r\n\xef\xbb\xbf\xc2\x85,\xe9\n' > "$corpus/csv/quotes_and_encodings.csv"
cp "$data"/cuts_openpyxl.xlsx "$data"/cuts_streamed.xlsx "$data"/formulas_saved.xlsx "$data"/formulas_unsaved.xlsx "$corpus/xlsx/"
cp "$data"/cuts.ods "$data"/cell_kinds.ods "$data"/formulas_saved.ods "$corpus/ods/"
for f in "$data"/*.xls; do cp "$f" "$corpus/xls/"; done
cp "$data"/cuts.csv "$data"/cuts_streamed.xlsx "$data"/cuts.ods "$data"/cuts.xls "$corpus/open_cut_sheet/"

# The structure-aware targets take the sheet XML itself.
for f in cuts_openpyxl formulas_saved formulas_unsaved; do
    { unzip -p "$data/$f.xlsx" xl/worksheets/sheet1.xml; printf '\0'; unzip -p "$data/$f.xlsx" xl/sharedStrings.xml 2>/dev/null || true; } \
        > "$corpus/xlsx_xml/$f.xml"
done
for f in cuts cell_kinds formulas_saved; do unzip -p "$data/$f.ods" content.xml > "$corpus/ods_xml/$f.xml"; done

cp "$src"/demo/config.txt "$corpus/config/demo.txt"
printf 'Plant\r\nStartRow,"2"\r\nExtraQty,0\r\nSpareValue,\r\nBaseH,"0050"\r\nBaseV,-12\r\n' > "$corpus/config/quoted.txt"
cp "$src"/demo/styles.csv "$corpus/style_csv/demo.csv"
printf '\xef\xbb\xbfStyle,Code\r\n"12,3",calh021\r\n\r\n  7 ,NA\r\n\xe9t\xe9,calh015\r\n' > "$corpus/style_csv/quoted.csv"

cp "$src"/demo/images/*.pcx "$corpus/pcx/"

# One stream of every layout, with headers and pictures.
cd "$src/demo"
for layout in A1 A2 B1 B2 B3 B4 C1 C2 D1 D2 E; do
    "$cli" compose --folder "$src/demo" --layout $layout --wip 40123 --style 20410 --color 7 --waist 32 \
        --length 30 --length-desc REG --text1 'POLY COTTON' --text2 '65% POLYESTER' --text3 '35% COTTON' \
        --barcode 2041040123O07 --qty 24 --made-in USA --rn 'RN 12345' --headers \
        $(case $layout in A*) echo --base-x 10 --base-y 5;; *) echo --base-h 10 --base-v 5;; esac) \
        > "$corpus/label_stream/$layout.sbpl"
done

# Print Labels inputs: layout and base point, check boxes, then the boxes one a line.
lines() { local IFS=$'\n'; printf '%s' "$*"; }
printf '\x00\x00%s' "$(lines '' 40123 20410 7 32 30 REG 'POLY COTTON' '65% POLY' '35% COTTON' 24 USA 'RN 1')" \
    > "$corpus/label_builders/manual_b1.txt"
printf '\x0e\x04%s' "$(lines cuts.csv 40123 20410 12 34 32 LONG $'W\xc3\xa9ave' '' '' 18 '' '')" \
    > "$corpus/label_builders/file_c1.txt"
printf '\x00\x01%s' "$(lines '' 40123 20410 7 32 30 REG A B C 24 USA 'RN 1')" > "$corpus/label_builders/new_a1.txt"

#!/usr/bin/env bash
# Draws each of the eleven layouts, filled with the worked-example values of its
# layout family, to docs/previews/NAME.png: the pictures the README shows.
#
#   scripts/make_readme_previews.sh [BUILD_DIR]
#
# BUILD_DIR is an existing build folder to use (tarnwick-cli is brought up to date
# there); without it the script configures and builds its own in build-readme/.
# The labels with a picture read the demo plant's demo/images/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-readme}
out=$root/docs/previews

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DTARNWICK_BENCH=OFF
fi
cmake --build "$build" --target tarnwick-cli -j2
build_abs=$(cd "$build" && pwd)
cli=$build_abs/bin/tarnwick-cli

mkdir -p "$out"
cd "$root/demo"  # the builders find images/ below the current directory

# New-format and lot-heading families: WIP 4012, style 12345 colour 7.
job_4012=(--wip 4012 --style 12345 --color 7 --waist 32 --length 30 --length-desc 30
          --text1 '65% POLYESTER' --text2 '35% COTTON' --text3 'MACHINE WASH'
          --barcode '12345O07 32 30' --qty 24)
# Style-heading, inline-heading and stacked-lot families: WIP 004512, style 12345 colour 01.
job_004512=(--wip 004512 --style 12345 --color 01 --waist 32 --length 30 --length-desc 30
            --text1 '100% WOOL' --text2 'DRY CLEAN' --text3 'ONLY'
            --barcode '12345O01 32 30' --qty 25 --headers)

preview() {
    local name=$1
    shift
    "$cli" compose --layout "$name" "$@" | "$cli" preview - -o "$out/$name.png"
}

for name in A1 A2; do
    preview "$name" "${job_4012[@]}" --made-in 'MADE IN U.S.A.' --rn 30417 --base-x 10 --base-y 5
done
for name in B1 B2 B3 B4; do
    preview "$name" "${job_4012[@]}" --headers --base-h 10 --base-v 5
done
for name in C1 C2 D1 D2 E; do
    preview "$name" "${job_004512[@]}" --base-h 5 --base-v 10
done

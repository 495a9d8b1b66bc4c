#!/usr/bin/env bash
# Whole-process timings of tarnwick-cli against lp, on one private print server in the
# same run (hyperfine, installed here on demand):
#   tarnwick-cli --help               target < 20 ms
#   tarnwick-cli print (one label, its journal row written ahead and completed)
#                                     target: within 1.5x of lp -o raw (medians)
#   tarnwick-cli print FILE --all of 1,000 cuts against 1,000 lp -o raw of the same bytes
#                                     target: at least 5x faster
# Usage: bench/cli_start.sh [BIN_DIR]   (default: build-release/bin, else build/bin)
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-}
if [[ -z $bin ]]; then
    bin=$source/build-release/bin
    [[ -x $bin/tarnwick-cli ]] || bin=$source/build/bin
fi
cli=$bin/tarnwick-cli
[[ -x $cli ]] || { echo "no tarnwick-cli in $bin; build first" >&2; exit 1; }
if ! command -v hyperfine >/dev/null; then
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo=sudo
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends hyperfine >/dev/null
fi

work=$(mktemp -d /tmp/tarnwick-bench.XXXXXX)
stop() { "$source/scripts/private-cupsd" stop "$work/cups" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap stop EXIT
mkdir "$work/cups" "$work/plant"
eval "$("$source/scripts/private-cupsd" start "$work/cups")"

plant=$work/plant
cp "$source/demo/config.txt" "$plant/"
"$cli" db init "$plant/data.mdb" >/dev/null
"$cli" styles import "$source/demo/styles.csv" --folder "$plant" >/dev/null
"$cli" settings set --route queue --printer "$TARNWICK_CUPS_QUEUE" --folder "$plant" >/dev/null
label=(--wip 40123 --style 20410 --color 7 --waist 32 --length-desc REG --qty 12
       --text1 "POLY WOOL" --text2 "55% POLYESTER" --text3 "45% WOOL")
"$cli" compose --layout C1 "${label[@]}" --folder "$plant" -o "$work/label.bin"

# Both print the same one label to the same queue; lp sends it raw, titled as ours.
hyperfine -N --style basic --warmup 5 --runs "${RUNS:-60}" --export-json "$work/times.json" \
    -n "tarnwick-cli --help" "$cli --help" \
    -n "tarnwick-cli print" "$cli print ${label[*]@Q} --folder $plant" \
    -n "lp -o raw" "lp -d $TARNWICK_CUPS_QUEUE -o raw -t AAAAAA $work/label.bin"

python3 - "$work/times.json" <<'PY'
import json, sys
runs = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
ms = lambda name: runs[name]["median"] * 1000
print()
print(f"| command | median | mean ± sd |")
print(f"|---|---|---|")
for name, r in runs.items():
    print(f"| {name} | {r['median']*1000:.1f} ms | {r['mean']*1000:.1f} ± {r['stddev']*1000:.1f} ms |")
ratio = ms("tarnwick-cli print") / ms("lp -o raw")
print()
print(f"tarnwick-cli --help median {ms('tarnwick-cli --help'):.1f} ms (target < 20 ms): "
      f"{'met' if ms('tarnwick-cli --help') < 20 else 'NOT met'}")
print(f"tarnwick-cli print median / lp -o raw median = {ratio:.2f} (target <= 1.5): "
      f"{'met' if ratio <= 1.5 else 'NOT met'}")
PY

# A cut sheet of 1,000 cuts of one style, and the label of each as lp sends it.
cuts=$work/cuts.csv
python3 - "$cuts" <<'PY'
import sys
with open(sys.argv[1], "w") as f:
    f.write("WIP,Style,Color,Waist,Length,Length Desc,Line 1,Line 2,Line 3,Barcode,Made In,Qty,Stock\r\n")
    for i in range(1000):
        f.write(f"{50000 + i},20410,7,32,30,REG,POLY COTTON WOVEN,65% POLYESTER,35% COTTON,20410{50000 + i},USA,24,WB1\r\n")
PY
start=$(date +%s%N)
"$cli" print "$cuts" --all --old-format --folder "$plant" >/dev/null
ours=$((($(date +%s%N) - start) / 1000000))
start=$(date +%s%N)
for ((i = 0; i < 1000; i++)); do lp -d "$TARNWICK_CUPS_QUEUE" -o raw -t AAAAAA "$work/label.bin" >/dev/null; done
theirs=$((($(date +%s%N) - start) / 1000000))
echo
echo "tarnwick-cli print --all of 1,000 cuts: $ours ms; 1,000 lp -o raw: $theirs ms;" \
    "ratio $(python3 -c "print(f'{$theirs / $ours:.2f}')") (target >= 5): $( ((theirs >= 5 * ours)) && echo met || echo NOT met)"


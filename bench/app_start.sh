#!/usr/bin/env bash
# Time from starting tarnwick to its main window drawn, on the demo plant: the program
# prints the wall clock at the window's first paint (TARNWICK_SHOWN_EXIT) and ends.
# Runs under Xvfb (xvfb-run) when there is no display; RUNS times, prints the median.
# Usage: bench/app_start.sh [BIN_DIR]   (default: build-release/bin, else build/bin)
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-}
if [[ -z $bin ]]; then
    bin=$source/build-release/bin
    [[ -x $bin/tarnwick ]] || bin=$source/build/bin
fi
[[ -x $bin/tarnwick ]] || { echo "no tarnwick in $bin; build first" >&2; exit 1; }

work=$(mktemp -d /tmp/tarnwick-appstart.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$source/demo/config.txt" "$work/"
cp -r "$source/demo/images" "$work/"
"$bin/tarnwick-cli" db init "$work/data.mdb" >/dev/null
"$bin/tarnwick-cli" styles import "$source/demo/styles.csv" --folder "$work" >/dev/null

cat >"$work/measure.sh" <<'SH'
#!/usr/bin/env bash
set -euo pipefail
for _ in $(seq "$RUNS"); do
    start=$(date +%s.%N)
    shown=$(TARNWICK_PLANT=$PLANT TARNWICK_SHOWN_EXIT=1 "$PROGRAM" 2>/dev/null | sed -n 's/^shown \([^ ]*\).*/\1/p')
    echo "$start $shown"
done
SH
chmod +x "$work/measure.sh"
# The program's own folder holds no config.txt in a Release tree, so TARNWICK_PLANT applies.
export RUNS=${RUNS:-20} PLANT=$work PROGRAM=$bin/tarnwick
if [[ -n ${DISPLAY:-} ]]; then
    "$work/measure.sh" >"$work/times"
else
    xvfb-run -a -s "-screen 0 1280x1024x24" "$work/measure.sh" >"$work/times"
fi
python3 - "$work/times" <<'PY'
import statistics, sys
times = [(float(b) - float(a)) * 1000 for a, b in (line.split() for line in open(sys.argv[1]) if len(line.split()) == 2)]
if not times:
    sys.exit("the window was never drawn")
times.sort()
print(f"start to main window drawn, {len(times)} runs: median {statistics.median(times):.0f} ms, "
      f"min {times[0]:.0f} ms, max {times[-1]:.0f} ms (target < 300 ms)")
PY

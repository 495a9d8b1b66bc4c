#!/usr/bin/env bash
# What happens between a label's bytes and its journal row, tried as a busy station
# would: kills at random moments during print and reprint, eight print loops on one
# data.mdb, and pruning a large journal while three stations print.
# Usage: bench/journal_faults.sh [BIN_DIR]   (default build/bin)
# Each part prints its counts; the script exits 1 when a count breaks its target.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$(cd "${1:-$root/build/bin}" && pwd)"
cli="$bin/tarnwick-cli"
kills="${KILLS:-200}"
reprint_kills="${REPRINT_KILLS:-100}"
loops="${LOOPS:-8}"
per_loop="${PER_LOOP:-500}"
expired="${EXPIRED:-600000}"
work="$(mktemp -d /tmp/tarnwick-faults.XXXXXX)"
trap 'rm -rf "$work"' EXIT
status=0

label=(--wip 4012 --style 1234 --color 5 --waist 32 --length 30 --length-desc R --qty 24 --text1 "65% POLYESTER")
# A plant folder whose device is a file in it; with SHARED set, its data.mdb is that file.
plant() {
    local dir="$1"
    mkdir -p "$dir"
    printf 'Faults\r\nStartRow,2\r\nExtraQty,2\r\nSpare,0\r\nBaseH,5\r\nBaseV,10\r\nParallelPort,labels.prn\r\n' \
        >"$dir/config.txt"
    : >"$dir/labels.prn"
    if [[ -n "${SHARED:-}" ]]; then
        ln -s "$SHARED" "$dir/data.mdb"
    else
        "$cli" db init "$dir/data.mdb" >/dev/null
        "$cli" styles set 1234 calh020 --folder "$dir" >/dev/null
        # The journal's table comes with the first label.
        "$cli" print --folder "$dir" "${label[@]}" >/dev/null
    fi
}

print_label() { "$cli" print --folder "$1" "${label[@]}"; }

# Labels on the device: each ends with ESC Z.
labels_in() { python3 -c 'import sys; print(open(sys.argv[1], "rb").read().count(b"\x1bZ"))' "$1"; }
rows() { sqlite3 "$1/data.mdb" "SELECT count(*) FROM PrintJournal WHERE $2"; }
check() {  # name, measured, target, condition
    if (($4)); then echo "  $1: $2 (target $3)"; else echo "  $1: $2 (target $3) NOT MET"; status=1; fi
}

# Kills at random moments: the row is written ahead, so every label on the device has
# a row, "sent" or "sending" (shown as may have printed), and no "sent" row lacks its label.
kill_run() {
    local dir="$1" count="$2"
    shift 2
    for ((i = 0; i < count; i++)); do
        "$@" >/dev/null 2>&1 &
        local pid=$!
        # From start-up through the row, the bytes and the outcome (a print takes 10 to 20 ms).
        sleep "0.$(printf '%03d' $((RANDOM % 25)))"
        kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    local device sent sending
    device=$(labels_in "$dir/labels.prn")
    sent=$(rows "$dir" "Outcome = 'sent'")
    sending=$(rows "$dir" "Outcome = 'sending'")
    check "labels without a row" "$((device > sent + sending ? device - sent - sending : 0))" 0 \
        "device <= sent + sending"
    check "rows saying sent without their label" "$((sent > device ? sent - device : 0))" 0 "sent <= device"
    local intact
    intact=$(sqlite3 "$dir/data.mdb" 'PRAGMA integrity_check')
    check "data.mdb intact" "$intact" ok "$([[ $intact == ok ]] && echo 1 || echo 0) == 1"
    echo "  ($count runs: $device labels on the device, $sent rows sent, $sending left sending)"
}

echo "== $kills kills during print"
plant "$work/kill"
kill_run "$work/kill" "$kills" "$cli" print --folder "$work/kill" "${label[@]}"

echo "== $reprint_kills kills during reprint"
plant "$work/reprint"
print_label "$work/reprint" >/dev/null
: >"$work/reprint/labels.prn"
sqlite3 "$work/reprint/data.mdb" "UPDATE PrintJournal SET Outcome = 'original'"
kill_run "$work/reprint" "$reprint_kills" "$cli" reprint 1 --folder "$work/reprint"

echo "== $loops print loops of $per_loop labels on one data.mdb"
plant "$work/shared"
before=$(rows "$work/shared" "Outcome = 'sent'")
export SHARED="$work/shared/data.mdb"
refused=0
for ((l = 0; l < loops; l++)); do
    plant "$work/station$l"
    (
        failures=0
        for ((i = 0; i < per_loop; i++)); do
            print_label "$work/station$l" >/dev/null 2>>"$work/station$l.err" || failures=$((failures + 1))
        done
        echo "$failures" >"$work/station$l.refused"
    ) &
done
wait
device=0
for ((l = 0; l < loops; l++)); do
    refused=$((refused + $(cat "$work/station$l.refused")))
    device=$((device + $(labels_in "$work/station$l/labels.prn")))
done
total=$((loops * per_loop))
check "labels refused" "$refused" 0 "refused == 0"
sent=$(($(rows "$work/shared" "Outcome = 'sent'") - before))
check "rows lost" "$((total - sent))" 0 "sent == total"
check "labels printed" "$device" "$total" "device == total"
if [[ -s "$work/station0.err" ]]; then echo "  first messages:"; sort "$work"/station*.err | uniq -c | head -5; fi
unset SHARED

echo "== pruning $expired expired jobs while three stations print"
plant "$work/prune"
python3 - "$work/prune/data.mdb" "$expired" <<'EOF'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("INSERT INTO Settings (ID) SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM Settings)")
stream = b"\x1bA" + b"x" * 280 + b"\x1bQ24\x1bZ"
db.executemany(
    "INSERT INTO PrintJournal (Time, Station, Source, Layout, WIP, Style, Quantity, Route, Printer, Outcome,"
    " Message, ByteCount, Stream) VALUES ('2025-01-01T08:00:00.000Z', 'old', 'cli', 'C1', ?, '1234', '24',"
    " 'device', 'labels.prn', 'sent', '', ?, ?)",
    ((str(40000 + i % 5000), len(stream), stream) for i in range(int(sys.argv[2]))))
db.commit()
EOF
export SHARED="$work/prune/data.mdb"
for s in 0 1 2; do plant "$work/printer$s"; done
# Three stations printing for `seconds`, each label timed from its start to its report
# (which comes once the label and its row are done, before the command's own pruning).
stations() {
    local seconds=$1 out=$2
    : >"$out"
    local until=$(($(date +%s) + seconds)) pids=()
    for s in 0 1 2; do
        (
            while (($(date +%s) < until)); do
                start=$(date +%s%N)
                print_label "$work/printer$s" 2>/dev/null | {
                    if read -r _; then echo $((($(date +%s%N) - start) / 1000000)); else echo refused; fi
                    cat >/dev/null
                } >>"$out"
            done
        ) &
        pids+=($!)
    done
    wait "${pids[@]}"
}
median() { grep '^[0-9]' "$1" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
slowest() { grep '^[0-9]' "$1" | sort -n | tail -1; }
p99() { grep '^[0-9]' "$1" | sort -n | awk '{a[NR]=$1} END {i=int(NR*0.99); print a[i < 1 ? 1 : i]}'; }
# The same three stations without pruning first: what the machine alone costs a label.
stations 20 "$work/baseline"
"$cli" history --prune --folder "$work/prune" >"$work/prune.out" &
pruner=$!
start=$(date +%s)
: >"$work/waits"
while kill -0 "$pruner" 2>/dev/null; do stations 2 "$work/more"; cat "$work/more" >>"$work/waits"; done
wait "$pruner" || true
echo "  $(cat "$work/prune.out") ($(($(date +%s) - start)) s)"
check "prints refused meanwhile" "$(grep -c refused "$work/waits" || true)" 0 "$(grep -c refused "$work/waits" || true) == 0"
# This machine stalls a label now and then with no pruning at all (the slowest of the
# baseline), so the 99th percentile is compared, and both slowest are shown.
check "99th percentile of a label during pruning, start to report (ms)" "$(p99 "$work/waits")" \
    "< 200 + that without pruning ($(p99 "$work/baseline") ms)" \
    "$(p99 "$work/waits") < 200 + $(p99 "$work/baseline")"
echo "  ($(grep -c '^[0-9]' "$work/waits") labels meanwhile: median $(median "$work/waits") ms, slowest" \
    "$(slowest "$work/waits") ms; without pruning $(grep -c '^[0-9]' "$work/baseline") labels: median" \
    "$(median "$work/baseline") ms, slowest $(slowest "$work/baseline") ms)"
exit "$status"

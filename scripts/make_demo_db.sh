#!/bin/sh
# Builds FOLDER/data.mdb for the demo plant from demo/styles.csv.
# Usage: make_demo_db.sh TARNWICK_CLI FOLDER
# Leaves a good database alone unless the style list is newer, so settings
# saved while trying the demo survive a rebuild of the program.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 TARNWICK_CLI FOLDER" >&2
    exit 2
fi
cli=$1
folder=$2
styles=$(cd "$(dirname "$0")/.." && pwd)/demo/styles.csv
db=$folder/data.mdb

if [ -f "$db" ] && [ ! "$styles" -nt "$db" ] && "$cli" styles list --folder "$folder" >/dev/null 2>&1; then
    exit 0
fi

mkdir -p "$folder"
work=$(mktemp -d "$folder/.data.mdb.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$cli" db init "$work/data.mdb" >/dev/null
"$cli" styles import "$styles" --folder "$work"
mv -f "$work/data.mdb" "$db"
echo "Made $db"

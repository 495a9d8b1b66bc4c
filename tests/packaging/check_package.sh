#!/bin/bash
# Builds the .deb from a build tree and checks it as a station gets it: unpacked into a
# temporary root, the programs run from there on a plant folder of their own.
#   check_package.sh BUILD_DIR
# With a private print server in the environment (scripts/private-cupsd) one label is
# printed to its queue; without one that part is skipped (exit 77), or fails when
# TARNWICK_REQUIRE_CUPS=1.
set -uo pipefail

build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}

if ! cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    exit 1
fi
debs=("$work"/out/tarnwick_*_amd64.deb)
deb=${debs[0]}
[[ -f $deb && $(basename "$deb") =~ ^tarnwick_[0-9][0-9.]*_amd64\.deb$ ]] || fail "no tarnwick_VERSION_amd64.deb: ${debs[*]}"
root=$work/root
dpkg-deb -x "$deb" "$root" || exit 1
dpkg-deb -e "$deb" "$work/control" || exit 1

# Depends comes from the binaries, and names the libraries they load when needed.
for library in libcups2 libzip4 libqt6widgets6 libsqlite3 qt6-qpa-plugins; do
    grep -Eq "^Depends:.*\b$library\b" "$work/control/control" ||
        fail "Depends lacks $library, which the programs load: $(grep '^Depends' "$work/control/control")"
done
for file in usr/bin/tarnwick usr/bin/tarnwick-cli usr/libexec/tarnwick/tarnwick-preview \
    usr/share/applications/tarnwick.desktop usr/share/icons/hicolor/scalable/apps/tarnwick.svg \
    usr/share/man/man1/tarnwick.1.gz usr/share/man/man1/tarnwick-cli.1.gz \
    usr/share/bash-completion/completions/tarnwick-cli usr/share/doc/tarnwick/copyright \
    usr/share/tarnwick/config.txt; do
    [[ -f $root/$file ]] || fail "the package lacks /$file"
done
desktop-file-validate "$root/usr/share/applications/tarnwick.desktop" || fail "desktop-file-validate"
grep -q '^Categories=.*\(Office\|Utility\);' "$root/usr/share/applications/tarnwick.desktop" ||
    fail "the desktop entry is in neither Office nor Utility"
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 ||
    fail "lintian: $(grep -v 'root privileges' "$work/lintian.log")"

cli=$root/usr/bin/tarnwick-cli
"$cli" --help >"$work/help" || fail "tarnwick-cli --help from the package"
if ldd "$cli" | grep -E 'libQt|libzint|libX|libxcb'; then
    fail "tarnwick-cli loads a GUI library"
fi

# The manual page, as man shows it, holds every command of --help with its full help.
commands=$(sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z0-9-]*\) .*/\1/p' "$work/help")
[[ -n $commands ]] || fail "tarnwick-cli --help lists no commands"
LC_ALL=C.UTF-8 MANWIDTH=200 man --warnings -l "$root/usr/share/man/man1/tarnwick-cli.1.gz" \
    >"$work/page" 2>"$work/man.err" || fail "man cannot show tarnwick-cli.1"
[[ ! -s $work/man.err ]] || fail "man warns about tarnwick-cli.1: $(cat "$work/man.err")"
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/tarnwick.1.gz" >/dev/null 2>"$work/man.err" ||
    fail "man cannot show tarnwick.1"
[[ ! -s $work/man.err ]] || fail "man warns about tarnwick.1: $(cat "$work/man.err")"
squeeze() { tr -s ' \t' ' ' | sed 's/^ //; s/ $//'; }
squeeze <"$work/page" >"$work/page.squeezed"
for command in $commands; do
    grep -qx "$command" "$work/page.squeezed" || fail "tarnwick-cli.1 has no section for $command"
    "$cli" "$command" --help | squeeze | while IFS= read -r line; do
        [[ -z $line ]] || grep -qxF -- "$line" "$work/page.squeezed" ||
            { echo "FAIL: tarnwick-cli.1 lacks this line of $command --help: $line" >&2; exit 1; }
    done || status=1
done

# The plant folder: TARNWICK_PLANT, overridden by --folder; the program's own folder
# when it holds config.txt. The package's config.txt is a working one.
plant=$work/plant
mkdir -p "$plant"
cp "$root/usr/share/tarnwick/config.txt" "$plant/"
"$cli" db init "$plant/data.mdb" >/dev/null || fail "db init"
# A style table as mdb-export writes it from the old Access database.
printf 'ID,Style,PrintStyle\n1,"12345","calh020"\n2,"5520 ""B""",\n' >"$work/styles.csv"
TARNWICK_PLANT=$plant "$cli" styles import "$work/styles.csv" >/dev/null || fail "styles import with TARNWICK_PLANT"
[[ $(TARNWICK_PLANT=$work/none "$cli" lookup 12345 --folder "$plant") == calh020 ]] ||
    fail "--folder does not override TARNWICK_PLANT"

mkdir -p "$work/portable"
cp "$cli" "$work/portable/"
cp "$plant/config.txt" "$plant/data.mdb" "$work/portable/"
"$work/portable/tarnwick-cli" styles set OWN calh015 >/dev/null
[[ $(TARNWICK_PLANT=$plant "$work/portable/tarnwick-cli" lookup OWN) == calh015 ]] ||
    fail "the program's own folder with config.txt is not the plant folder"

TARNWICK_PLANT=$work/none "$cli" print --wip 1 --style 12345 --qty 1 >/dev/null 2>"$work/missing.err"
expected="The settings file \"$work/none/config.txt\" is missing. Put the plant's config.txt in that folder, then try again. Tarnwick looked there because the program's folder \"$root/usr/bin\" holds no config.txt and TARNWICK_PLANT names that folder."
[[ $(cat "$work/missing.err") == "$expected" ]] || fail "missing config.txt: $(cat "$work/missing.err")"

# The window finds its plant through TARNWICK_PLANT, starts in it (pictures are read
# below the current folder) and draws its main window.
shown=$(cd / && TARNWICK_PLANT=$plant TARNWICK_SHOWN_EXIT=1 QT_QPA_PLATFORM=offscreen timeout 60 \
    "$root/usr/bin/tarnwick" 2>/dev/null)
[[ $shown =~ ^shown\ [0-9.]+\ (.*)$ && ${BASH_REMATCH[1]} == "$plant" ]] ||
    fail "tarnwick from the package did not show its window in $plant: $shown"

# Help and version need no display.
[[ $(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/tarnwick" --version 2>&1) == "tarnwick 3.4" ]] ||
    fail "tarnwick --version without a display"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/tarnwick" --help 2>&1 | grep -q "man tarnwick" ||
    fail "tarnwick --help without a display"

# Preview runs the drawing program from libexec.
"$cli" compose --layout C1 --wip 40123 --style 12345 --qty 1 --folder "$plant" -o "$work/label.bin" ||
    fail "compose from the package"
"$cli" preview "$work/label.bin" -o "$work/label.png" >/dev/null || fail "tarnwick-cli preview from the package"
[[ -s $work/label.png ]] || fail "preview wrote no picture"
rm "$root/usr/libexec/tarnwick/tarnwick-preview"
"$cli" preview "$work/label.bin" -o "$work/none.png" >/dev/null 2>"$work/preview.err"
[[ $? -eq 1 && $(cat "$work/preview.err") == "tarnwick-cli: cannot start the preview program \"$root/usr/libexec/tarnwick/tarnwick-preview\": No such file or directory. Preview needs tarnwick-preview beside tarnwick-cli or at that path; reinstall Tarnwick." ]] ||
    fail "preview without its program: $(cat "$work/preview.err")"

if [[ -z ${CUPS_SERVER:-} || -z ${TARNWICK_CUPS_JOBS:-} || -z ${TARNWICK_CUPS_QUEUE:-} ]]; then
    [[ $status -ne 0 ]] && exit "$status"
    if [[ ${TARNWICK_REQUIRE_CUPS:-} == 1 ]]; then
        echo "FAIL: no private print server (scripts/private-cupsd)" >&2
        exit 1
    fi
    echo "no private print server: the print from the package was not tried"
    exit 77
fi
TARNWICK_PLANT=$plant "$cli" settings set --route queue --printer "$TARNWICK_CUPS_QUEUE" >/dev/null ||
    fail "settings set"
wip="P$$${RANDOM}"
TARNWICK_PLANT=$plant "$cli" print --wip "$wip" --style 12345 --color 7 --waist 32 --length-desc REG \
    --qty 2 >/dev/null || fail "print from the package"
found=""
for _ in $(seq 100); do
    found=$(grep -l -F -- "$wip" "$TARNWICK_CUPS_JOBS/$TARNWICK_CUPS_QUEUE"/*.job 2>/dev/null | head -1)
    [[ -n $found ]] && break
    sleep 0.1
done
if [[ -z $found ]]; then
    fail "the label printed from the package never reached queue $TARNWICK_CUPS_QUEUE"
elif [[ $(cat "${found%.job}.title") != AAAAAA ]]; then
    fail "the job is titled $(cat "${found%.job}.title"), not AAAAAA"
fi
exit "$status"

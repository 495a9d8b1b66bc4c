#!/bin/bash
# Builds the .deb from a build tree and checks it as a station gets it: unpacked into a
# temporary root, the programs run from there on a plant folder of their own.
#   check_package.sh BUILD_DIR
# With a private print server in the environment (scripts/private-cupsd) one label is
# printed to its queue; without one that part is skipped (exit 77), or fails when
# TARNWICK_REQUIRE_CUPS=1. The window under X needs apt to reach Debian's archive once
# (the Qt packages are kept in BUILD_DIR/package-debs); two operators need root.
set -uo pipefail

build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-package.XXXXXX")
users=()
group=""
service=""
cleanup() {
    local user
    [[ -z $service ]] || kill -KILL "$service" 2>/dev/null
    for user in "${users[@]}"; do userdel "$user"; done
    [[ -z $group ]] || groupdel "$group"
    rm -rf "$work"
}
trap cleanup EXIT
# The operators, their group and the service must go even when the test is stopped.
trap 'exit 1' INT TERM HUP
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
for library in libcups2 libzip4 libpq5 libqt6widgets6 libsqlite3 qt6-qpa-plugins \
    libsystemd0 libmicrohttpd12 libgnutls30; do
    grep -Eq "^Depends:.*\b$library\b" "$work/control/control" ||
        fail "Depends lacks $library, which the programs load: $(grep '^Depends' "$work/control/control")"
done
grep -Eq '^Recommends:.*\bbash-completion\b' "$work/control/control" ||
    fail "Recommends lacks bash-completion, which loads the completion: $(grep '^Recommends' "$work/control/control")"
for file in usr/bin/tarnwick usr/bin/tarnwick-cli usr/libexec/tarnwick/tarnwick-preview usr/sbin/tarnwickd \
    usr/lib/systemd/system/tarnwickd.service usr/share/man/man8/tarnwickd.8.gz \
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
if ldd "$cli" | grep -E 'libQt|libzint|libX|libxcb|libpq'; then
    fail "tarnwick-cli loads a GUI library, or libpq, at every start"
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
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man8/tarnwickd.8.gz" >/dev/null \
    2>"$work/man.err" || fail "man cannot show tarnwickd.8"
[[ ! -s $work/man.err ]] || fail "man warns about tarnwickd.8: $(cat "$work/man.err")"
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

# The window finds its plant through TARNWICK_PLANT, starts in it (for its file lists)
# and draws its main window.
shown=$(cd / && TARNWICK_PLANT=$plant TARNWICK_SHOWN_EXIT=1 QT_QPA_PLATFORM=offscreen timeout 60 \
    "$root/usr/bin/tarnwick" 2>/dev/null)
[[ $shown =~ ^shown\ [0-9.]+\ (.*)$ && ${BASH_REMATCH[1]} == "$plant" ]] ||
    fail "tarnwick from the package did not show its window in $plant: $shown"

# Help and version need no display.
[[ $(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/tarnwick" --version 2>&1) == "tarnwick 3.4" ]] ||
    fail "tarnwick --version without a display"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/tarnwick" --help 2>&1 | grep -q "man tarnwick" ||
    fail "tarnwick --help without a display"

# The print service's unit: valid, hardened, and leaving /dev to a raw printer device.
unit=$root/usr/lib/systemd/system/tarnwickd.service
if command -v systemd-analyze >/dev/null; then
    # Against this machine's systemd, with the program where the package was unpacked.
    mkdir -p "$work/unit"
    sed "s|/usr/sbin/tarnwickd|$root/usr/sbin/tarnwickd|" "$unit" >"$work/unit/tarnwickd.service"
    # An unknown or misspelt key is only warned about, and ignored.
    systemd-analyze verify --man=no "$work/unit/tarnwickd.service" >"$work/verify.log" 2>&1 &&
        [[ ! -s $work/verify.log ]] || fail "systemd-analyze verify tarnwickd.service: $(cat "$work/verify.log")"
fi
for line in Type=notify User=tarnwick Group=tarnwick SupplementaryGroups=lp \
    'ExecStart=/usr/sbin/tarnwickd --folder /var/lib/tarnwick' 'ExecReload=/bin/kill -HUP $MAINPID' \
    Restart=on-failure ProtectSystem=strict ReadWritePaths=/var/lib/tarnwick NoNewPrivileges=yes PrivateTmp=yes \
    'RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6' UMask=0002 WantedBy=multi-user.target; do
    grep -qxF -- "$line" "$unit" || fail "tarnwickd.service lacks the line $line"
done
if grep -E '^(PrivateDevices|DeviceAllow|DevicePolicy|ProtectClock)=' "$unit"; then
    fail "tarnwickd.service would hide a raw printer device"
fi

# The service from the package, on a plant folder of its own: it answers, prints as a
# token allows, draws with the preview program from libexec, and stops cleanly.
service_from_package() {
    local served=$work/served port="" token code
    mkdir -p "$served"
    sed 's|^ParallelPort,.*|ParallelPort,port|' "$root/usr/share/tarnwick/config.txt" >"$served/config.txt"
    : >"$served/port"
    "$cli" db init "$served/data.mdb" >/dev/null && "$cli" styles set 12345 calh020 --folder "$served" >/dev/null &&
        "$cli" settings set --route device --folder "$served" >/dev/null ||
        { fail "the service's plant folder"; return; }
    token=$("$cli" tokens add erp --role operator --folder "$served" 2>/dev/null) || { fail "tokens add"; return; }
    "$root/usr/sbin/tarnwickd" --folder "$served" --listen 127.0.0.1:0 2>"$work/tarnwickd.log" &
    service=$!
    for _ in $(seq 100); do
        port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$work/tarnwickd.log")
        [[ -n $port ]] || ! kill -0 "$service" 2>/dev/null && break
        sleep 0.1
    done
    if [[ -z $port ]]; then
        fail "tarnwickd from the package did not start: $(cat "$work/tarnwickd.log")"
        return
    fi
    local url=http://127.0.0.1:$port
    [[ $(curl -s "$url/healthz") == '{"journal":"kept","plant":"none","status":"ok"}' ]] ||
        fail "tarnwickd /healthz: $(curl -s "$url/healthz")"
    [[ $(curl -s -H "Authorization: Bearer $token" "$url/api/v1/printers") == *'"name":"default","ready":true'* ]] ||
        fail "tarnwickd /api/v1/printers: $(curl -s -H "Authorization: Bearer $token" "$url/api/v1/printers")"
    code=$(curl -s -o "$work/served.png" -w '%{http_code}' -H "Authorization: Bearer $token" \
        -H 'Content-Type: application/json' -d '{"wip":"40123","style":"12345","quantity":1}' "$url/api/v1/previews")
    [[ $code == 200 && $(head -c 4 "$work/served.png" | tail -c 3) == PNG ]] ||
        fail "tarnwickd's preview, by $root/usr/libexec/tarnwick/tarnwick-preview: $code $(cat "$work/served.png")"
    kill -TERM "$service"
    wait "$service"
    code=$?
    service=""
    [[ $code -eq 0 ]] || fail "tarnwickd exited $code on SIGTERM: $(cat "$work/tarnwickd.log")"
}
service_from_package

# Preview runs the drawing program from libexec.
"$cli" compose --layout C1 --wip 40123 --style 12345 --qty 1 --folder "$plant" -o "$work/label.bin" ||
    fail "compose from the package"
"$cli" preview "$work/label.bin" -o "$work/label.png" >/dev/null || fail "tarnwick-cli preview from the package"
[[ -s $work/label.png ]] || fail "preview wrote no picture"
rm "$root/usr/libexec/tarnwick/tarnwick-preview"
"$cli" preview "$work/label.bin" -o "$work/none.png" >/dev/null 2>"$work/preview.err"
[[ $? -eq 1 && $(cat "$work/preview.err") == "tarnwick-cli: cannot start the preview program \"$root/usr/libexec/tarnwick/tarnwick-preview\": No such file or directory. Preview needs tarnwick-preview beside tarnwick-cli or at that path; reinstall Tarnwick." ]] ||
    fail "preview without its program: $(cat "$work/preview.err")"

# An install with --no-install-recommends brings the Depends and what they need, nothing
# more: the window must start under X with the Qt of that closure alone. qt.conf points
# Qt's plugin folder into the root, since Qt otherwise falls back to this machine's own
# plugins and would hide a missing one.
window_from_depends() {
    local cache=$build/package-debs qtlib=$root/usr/lib/x86_64-linux-gnu name version arch file foreign
    local debs=() missing=() shown
    : >"$work/no-packages"
    if ! apt-get install --simulate --no-install-recommends -o Dir::State::status="$work/no-packages" "$deb" \
        >"$work/closure" 2>&1; then
        # Without package lists nothing installs: that says nothing of the package.
        if apt-get install --simulate -o Dir::State::status="$work/no-packages" libc6 >/dev/null 2>&1; then
            fail "apt cannot install the package on a bare machine: $(tail -5 "$work/closure")"
        else
            echo "apt knows no package archive (apt-get update has not run):" \
                "the window under X with the Qt of the package's Depends was not tried" >&2
        fi
        return
    fi
    grep -q '^Inst qt6-qpa-plugins ' "$work/closure" ||
        fail "an install without recommends lacks qt6-qpa-plugins: $(grep -o '^Inst [^ ]*qt[^ ]*' "$work/closure")"
    while read -r name version arch; do
        file=${name}_${version//:/%3a}_$arch.deb
        if [[ -f /var/cache/apt/archives/$file ]]; then
            debs+=("/var/cache/apt/archives/$file")
        else
            debs+=("$cache/$file")
            [[ -f $cache/$file ]] || missing+=("$name=$version")
        fi
    done < <(awk '/^Inst (lib)?qt6/ { print $2, substr($3, 2), substr($NF, 2, length($NF) - 3) }' "$work/closure")
    if ((${#missing[@]})); then
        # Downloaded aside and moved in whole, so the cache never keeps a broken file.
        mkdir -p "$work/debs" "$cache"
        if ! (cd "$work/debs" && apt-get download "${missing[@]}") >"$work/download.log" 2>&1; then
            echo "apt cannot download ${missing[*]} ($(grep '^E:' "$work/download.log" | head -1)):" \
                "the window under X with the Qt of the package's Depends was not tried" >&2
            return
        fi
        mv "$work"/debs/*.deb "$cache/"
    fi
    for file in "${debs[@]}"; do
        dpkg-deb -x "$file" "$root" || { fail "dpkg-deb -x $file"; return; }
    done
    foreign=$(LD_LIBRARY_PATH=$qtlib ldd "$root/usr/bin/tarnwick" "$qtlib/qt6/plugins/platforms/libqxcb.so" |
        grep -F libQt6 | grep -vF "=> $qtlib/")
    [[ -z $foreign ]] || fail "Qt libraries that no package of the Depends closure brings: $foreign"
    printf '[Paths]\nPrefix=%s/usr\nPlugins=lib/x86_64-linux-gnu/qt6/plugins\n' "$root" >"$root/usr/bin/qt.conf"
    shown=$(cd / && env -u QT_QPA_PLATFORM -u QT_PLUGIN_PATH -u QT_QPA_PLATFORM_PLUGIN_PATH LD_LIBRARY_PATH="$qtlib" \
        TARNWICK_PLANT="$plant" TARNWICK_SHOWN_EXIT=1 xvfb-run -a timeout 60 "$root/usr/bin/tarnwick" 2>"$work/xcb.err")
    [[ $? -eq 0 && $shown =~ ^shown\ [0-9.]+\ (.*)$ && ${BASH_REMATCH[1]} == "$plant" ]] ||
        fail "tarnwick with the Qt of its Depends did not show its window under Xvfb: $shown $(tail -5 "$work/xcb.err")"
    rm "$root/usr/bin/qt.conf"
}
window_from_depends

# Two operators on a plant folder laid out as postinst lays out /var/lib/tarnwick: the
# member of its group prints and finds the label in the history, the other is told how
# to become a member. The printer is a group-writable file, as a raw device is.
as() { (cd / && runuser -u "$1" -- "${@:2}"); }
operators() {
    local tag=twtest-$$-$RANDOM shared=$work/shared wip=M$$ member other expected
    groupadd --system "$tag" || { fail "groupadd $tag"; return; }
    group=$tag
    member=$tag-in other=$tag-out
    useradd --system --no-create-home --shell /usr/sbin/nologin --groups "$group" "$member" &&
        users+=("$member") || { fail "useradd $member"; return; }
    useradd --system --no-create-home --shell /usr/sbin/nologin "$other" &&
        users+=("$other") || { fail "useradd $other"; return; }
    # mktemp made the work folder private; the operators run the programs inside it.
    chmod 755 "$work"
    mkdir -p "$shared/images"
    sed 's|^ParallelPort,.*|ParallelPort,port|' "$root/usr/share/tarnwick/config.txt" >"$shared/config.txt"
    : >"$shared/port"
    "$cli" db init "$shared/data.mdb" >/dev/null &&
        "$cli" styles set 12345 calh020 --folder "$shared" >/dev/null &&
        "$cli" settings set --route device --folder "$shared" >/dev/null || { fail "the operators' plant folder"; return; }
    chgrp -R "$group" "$shared"
    chmod 2775 "$shared" "$shared/images"
    chmod 664 "$shared/config.txt" "$shared/data.mdb" "$shared/port"

    as "$member" "$cli" print --wip "$wip" --style 12345 --qty 1 --folder "$shared" >/dev/null 2>"$work/member.err" ||
        fail "the group's member could not print: $(cat "$work/member.err")"
    grep -qF "$wip" "$shared/port" || fail "the member's label $wip never reached the device file"
    as "$member" "$cli" history --wip "$wip" --folder "$shared" >"$work/member.history" 2>&1
    [[ $(cut -f6,11-13 "$work/member.history") == "$wip"$'\t'device$'\t'"$shared/port"$'\t'sent ]] ||
        fail "the member's history lacks label $wip sent to the device: $(cat "$work/member.history")"

    as "$other" "$cli" print --wip "N$$" --style 12345 --qty 1 --folder "$shared" >/dev/null 2>"$work/other.err"
    local code=$?
    expected="The print journal in \"$shared/data.mdb\" is not being kept: this user may not write to it (Permission denied): the group $group may write to it, and user $other is not in that group. Labels still print, but they are not recorded for History and Reprint until data.mdb can be written again. Add $other to the group: sudo adduser $other $group, then log in again.
The label could not be sent to the printer device $shared/port: Permission denied; the group $group may write to it, and user $other is not in that group. Add $other to the group: sudo adduser $other $group, then log in again, then print the label again."
    [[ $code -eq 1 && $(cat "$work/other.err") == "$expected" ]] ||
        fail "a print by a user outside the group (exit $code) said: $(cat "$work/other.err")"
}

# Purge keeps the plant folder, its history and config.txt, and the group that owns it.
# dpkg runs postrm remove, then postrm purge; here in a mount namespace of their own with
# an empty /var/lib, so a script that removes the folder removes only a copy, and with
# the commands that remove a group or user replaced by ones that record the call.
purge_keeps_plant() {
    local fake=$work/purge-bin name
    mkdir -p "$fake"
    for name in delgroup groupdel deluser userdel; do
        printf '#!/bin/sh\necho "%s $*" >>"%s/removed"\n' "$name" "$work" >"$fake/$name"
        chmod 755 "$fake/$name"
    done
    # The kept folder as the plant leaves it: history in data.mdb, config.txt, a picture.
    unshare --mount sh -c '
        set -e
        mount -t tmpfs tmpfs /var/lib
        mkdir -p /var/lib/tarnwick/images
        cp "$1/data.mdb" "$1/config.txt" /var/lib/tarnwick/
        echo picture >/var/lib/tarnwick/images/calh021.pcx
        (cd /var/lib/tarnwick && find . -type f -exec sha256sum {} + | sort) >"$3/before"
        PATH=$4:$PATH sh "$2" remove
        PATH=$4:$PATH sh "$2" purge >"$3/purge.out"
        if [ -d /var/lib/tarnwick ]; then
            (cd /var/lib/tarnwick && find . -type f -exec sha256sum {} + | sort) >"$3/after"
        else
            echo "no /var/lib/tarnwick" >"$3/after"
        fi
    ' sh "$plant" "$work/control/postrm" "$work" "$fake" 2>"$work/purge.err" ||
        { fail "postrm remove and purge: $(cat "$work/purge.err")"; return; }
    [[ -s $work/after ]] && cmp -s "$work/before" "$work/after" ||
        fail "purge did not keep /var/lib/tarnwick as it was: before: $(cat "$work/before"); after: $(cat "$work/after")"
    [[ ! -e $work/removed ]] || fail "purge removed a group or user: $(cat "$work/removed")"
    grep -qF 'sudo rm -r /var/lib/tarnwick; sudo deluser tarnwick; sudo delgroup tarnwick' "$work/purge.out" ||
        fail "purge did not say the folder, user and group were kept and how to remove them: $(cat "$work/purge.out")"
}
if [[ $EUID -eq 0 ]]; then
    operators
    purge_keeps_plant
else
    echo "not root: the operators in and out of the plant's group, and purge, were not tried" >&2
fi

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

#!/usr/bin/env bash
# check-packages.sh BUILD_DIR VERSION: builds the Debian packages of a built tree with cpack,
# unpacks the application's package into a temporary folder and checks what a station gets:
# the program starts and reports its version, the desktop entry and the AppStream metainfo
# pass their validators, the icons are there, the dependencies were computed, and the
# simulator stays out of it. lintian finds no error and no warning in either package; the
# manual pages format without a warning; the key's udev rule (or its template) is where it
# belongs and matches the key's USB device.
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cpack -G DEB -B "$tmp/out" --config "$build/CPackConfig.cmake" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log" >&2; fail "cpack"; }
app=$tmp/out/sealstation_${version}_amd64.deb
[ -f "$app" ] || fail "no $(basename "$app") among: $(ls "$tmp/out")"
packages=("$app")
if grep -q '^set(CPACK_COMPONENTS_ALL.*sim' "$build/CPackConfig.cmake"; then
    packages+=("$tmp/out/sealstation-sim_${version}_amd64.deb")
    [ -f "${packages[1]}" ] || fail "no simulator package"
fi

lint() {
    # lintian warns on stderr that it runs as root; that is no finding.
    lintian --fail-on error,warning --tag-display-limit 0 "$@" 2>"$tmp/lintian.err" || {
        cat "$tmp/lintian.err" >&2
        fail "lintian found errors or warnings"
    }
}
lint "${packages[@]}"
echo "lintian: no errors, no warnings in $(basename -a "${packages[@]}" | tr '\n' ' ')"

depends=$(dpkg-deb -f "$app" Depends)
echo "Depends: $depends"
grep -Eq 'libqt[56](widgets|gui)' <<<"$depends" || fail "Depends was not computed from the binary"
grep -Eq 'libqt[56]sql[56]-sqlite' <<<"$depends" || fail "Depends lacks the SQLite driver the journal opens"
if dpkg-deb -c "$app" | grep -q 'sealstation-sim'; then fail "the simulator is in the application's package"; fi

root=$tmp/root
dpkg-deb -x "$app" "$root"
out=$(QT_QPA_PLATFORM=offscreen HOME=$tmp XDG_DATA_HOME=$tmp/data XDG_CONFIG_HOME=$tmp/config \
    "$root/usr/bin/sealstation" --version) || fail "sealstation --version exited with $?"
echo "$out"
grep -Eq "^SealStation $version \(Qt [0-9.]+\)\$" <<<"$out" || fail "unexpected --version output"
[ ! -e "$tmp/data/Vesk" ] || fail "--version created the settings folder"

id=com.vesk.SealStation
share=$root/usr/share
desktop-file-validate "$share/applications/$id.desktop" || fail "desktop-file-validate"
# --no-net: the screenshots' web addresses are checked for their form, not fetched.
appstreamcli validate --no-net --pedantic "$share/metainfo/$id.metainfo.xml" || fail "appstreamcli validate"
for icon in scalable/apps/$id.svg 16x16/apps/$id.png 48x48/apps/$id.png 256x256/apps/$id.png; do
    [ -s "$share/icons/hicolor/$icon" ] || fail "missing icon $icon"
done

# lintian formats the manual pages 120 columns wide; a terminal has 80.
for package in "${packages[@]}"; do
    dpkg-deb -x "$package" "$tmp/pages"
done
for page in "$tmp"/pages/usr/share/man/man1/*.1.gz; do
    warnings=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
changelog=$(zcat "$share/doc/sealstation/changelog.gz")
[ "$(dpkg-parsechangelog -l - -S Version <<<"$changelog")" = "$version" ] || fail "the changelog's version is not $version"
released=$(sed -n 's/.*<release version="[^"]*" date="\([0-9-]*\)".*/\1/p' "$share/metainfo/$id.metainfo.xml")
[ "$(date -u -d "$(dpkg-parsechangelog -l - -S Date <<<"$changelog")" +%F)" = "$released" ] ||
    fail "the changelog's date is not the release date $released"

# The key's rule matches the key's USB device and gives the user at the seat access to it. With the key's
# IDs it lies where udev reads it and the metainfo announces the IDs; without them the template matches
# nothing and lies where udev never looks.
rule=70-sealstation-key.rules
any='[0-9a-f]{4}'
if [ -f "$root/usr/lib/udev/rules.d/$rule" ]; then
    rulefile=$root/usr/lib/udev/rules.d/$rule
    [ ! -e "$share/sealstation/$rule" ] || fail "both the rule and its template are in the package"
else
    rulefile=$share/sealstation/$rule
    [ -f "$rulefile" ] || fail "neither the rule nor its template is in the package"
    [ ! -e "$root/usr/lib/udev" ] || fail "the template's package installs into /usr/lib/udev"
    any='(VVVV|PPPP)'
fi
rules=$(grep -v '^#' "$rulefile" | grep -v '^$') || fail "$rule holds no rule"
while read -r line; do
    [[ $line =~ ^SUBSYSTEM==\"usb\",\ ENV\{DEVTYPE\}==\"usb_device\",\ ATTR\{idVendor\}==\"($any)\",\ ATTR\{idProduct\}==\"($any)\",\ TAG\+=\"uaccess\"$ ]] ||
        fail "unexpected line in $rule: $line"
    if [ "$any" != '(VVVV|PPPP)' ]; then
        modalias="usb:v${BASH_REMATCH[1]^^}p${BASH_REMATCH[2]^^}d*"
        grep -qF "<modalias>$modalias</modalias>" "$share/metainfo/$id.metainfo.xml" ||
            fail "the metainfo does not provide $modalias"
    fi
done <<<"$rules"
if [ "$any" != '(VVVV|PPPP)' ]; then
    # Debian 12's lintian inspects rules in /lib/udev/rules.d only (the same folder on a merged /usr):
    # show it the rule there too.
    repacked=$tmp/repacked
    dpkg-deb -R "$app" "$repacked"
    mkdir -p "$repacked/lib"
    mv "$repacked/usr/lib/udev" "$repacked/lib/udev"
    rmdir --ignore-fail-on-non-empty "$repacked/usr/lib"
    sed -i 's| usr/lib/udev/| lib/udev/|' "$repacked/DEBIAN/md5sums"
    dpkg-deb -b "$repacked" "$tmp/rule-in-lib.deb" >/dev/null
    lint "$tmp/rule-in-lib.deb"
    echo "lintian: the rule passes its udev and AppStream checks"
fi
echo "packages OK: $(ls "$tmp/out"/*.deb | xargs -n1 basename | tr '\n' ' ')"

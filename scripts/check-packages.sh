#!/usr/bin/env bash
# check-packages.sh BUILD_DIR VERSION: builds the Debian packages of a built tree with cpack,
# unpacks the application's package into a temporary folder and checks what a station gets:
# the program starts and reports its version, the desktop entry and the AppStream metainfo
# pass their validators, the icons are there, the dependencies were computed, and the
# simulator stays out of it.
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
if grep -q '^set(CPACK_COMPONENTS_ALL.*sim' "$build/CPackConfig.cmake"; then
    [ -f "$tmp/out/sealstation-sim_${version}_amd64.deb" ] || fail "no simulator package"
fi

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
echo "packages OK: $(ls "$tmp/out"/*.deb | xargs -n1 basename | tr '\n' ' ')"

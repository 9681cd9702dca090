#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs. Idempotent and silent when
# everything is already present.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6sql6-sqlite
    libcpp-httplib-dev libsqlite3-dev sqlite3
    libusb-1.0-0-dev umockdev libumockdev-dev
    libbenchmark-dev
    clang libclang-rt-14-dev
    mingw-w64 wine64
    xvfb xdotool x11-utils
    librsvg2-bin
    dpkg-dev desktop-file-utils appstream icoutils lintian man-db
    poppler-utils
)

missing=()
for pkg in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$pkg")
    fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        SUDO="sudo"
    else
        echo "Missing packages and not root (no sudo): ${missing[*]}" >&2
        exit 1
    fi
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

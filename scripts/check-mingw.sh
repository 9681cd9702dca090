#!/usr/bin/env bash
# check-mingw.sh [COMPILER] [WORKDIR]: compiles the WinUSB key device with mingw-w64 and links it
# into a small program against winusb and setupapi, so Windows-only code cannot rot on Linux.
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=${1:-}
if [ -z "$cxx" ]; then
    for candidate in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++; do
        if command -v "$candidate" >/dev/null 2>&1; then
            cxx=$candidate
            break
        fi
    done
fi
if [ -z "$cxx" ]; then
    echo "mingw-w64 not found; nothing checked" >&2
    exit 0
fi

work=${2:-}
if [ -z "$work" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"

cat >"$work/main.cpp" <<'CPP'
#include "key/usbdevice.h"

int main()
{
    std::unique_ptr<UsbDevice> device = createUsbDevice();
    uint8_t buffer[64];
    if (!device->openDevice())
        return 1;
    const int read = device->readBulk(buffer, sizeof(buffer));
    device->cancel();
    return read < 0 ? 2 : 0;
}
CPP

flags=(-std=c++17 -Wall -Wextra -Werror -I.)
"$cxx" "${flags[@]}" -c key/usbdevice_win.cpp -o "$work/usbdevice_win.o"
"$cxx" "${flags[@]}" -c "$work/main.cpp" -o "$work/main.o"
"$cxx" "$work/usbdevice_win.o" "$work/main.o" -o "$work/winusb-check.exe" -lwinusb -lsetupapi
echo "WinUSB key device compiled and linked with $cxx"

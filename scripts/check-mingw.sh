#!/usr/bin/env bash
# check-mingw.sh [COMPILER] [WORKDIR]: checks the Windows configuration with mingw-w64, so that
# Windows-only code cannot rot and Unix-only code cannot creep into a shared file.
#
#  1. Configures the project for Windows (simulator off) against Debian's Qt 5 (QT5_DIR, else found).
#  2. Builds the protocol library (codec, framing, OS descriptor parser, WinUSB device) and links a small
#     program against it, winusb and setupapi: no libusb.
#  3. Compiles every other source of that configuration, syntax only: the product, the suites that
#     build on Windows and the moc and uic output, with the Qt headers as system headers.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD

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
cxx=$(command -v "$cxx")

work=${2:-}
if [ -z "$work" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
qt5_dir=${QT5_DIR:-/usr/lib/$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)/cmake/Qt5}
jobs=$(nproc 2>/dev/null || echo 2)

cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER $cxx)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
EOF
# Debian's Qt is a Linux build: its libraries are never linked here, only its headers, moc and uic used.
cmake -S "$source" -B "$work/build" -Wno-dev -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
    -DQt5_DIR="$qt5_dir" -DSEALSTATION_QT=5 -DSEALSTATION_WERROR=ON -DSEALSTATION_BUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Release -G "Unix Makefiles" >"$work/configure.log" 2>&1 || {
    cat "$work/configure.log" >&2
    exit 1
}
# Unix-only: the _unix files, the libusb key device, the simulator and the emulated USB bus of the tests.
unix_only='sealstation_sim\|_unix\.cpp\|usbdevice_libusb\.cpp\|emulatedusbbus\.cpp'
if grep -q "$unix_only" "$work/build/compile_commands.json"; then
    echo "The Windows configuration builds Unix-only files:" >&2
    grep -o '"file": "[^"]*"' "$work/build/compile_commands.json" | grep "$unix_only" >&2
    exit 1
fi

cmake --build "$work/build" --target sealstation_protocol --parallel "$jobs" >"$work/build.log" 2>&1 || {
    cat "$work/build.log" >&2
    exit 1
}
cat >"$work/main.cpp" <<'CPP'
#include "key/kcodec.h"
#include "key/kframe.h"
#include "key/usbdevice.h"

int main()
{
    std::unique_ptr<UsbDevice> device = createKeyDevice();
    uint8_t buffer[64];
    if (!device->openDevice())
        return 1;
    const int read = device->readBulk(buffer, sizeof(buffer));
    device->cancel();
    return read < 0 ? 2 : 0;
}
CPP
"$cxx" -std=c++17 -Wall -Wextra -Werror -I"$source" "$work/main.cpp" "$work/build/libsealstation_protocol.a" \
    -lwinusb -lsetupapi -o "$work/protocol-check.exe"
echo "Protocol library built and linked with $cxx"

# moc and uic output first (the targets' /fast rules, so that none of their dependencies is built),
# then each compile command of the configuration with -fsyntax-only.
autogen=$(cmake --build "$work/build" --target help | sed -n 's|^\.\.\. \([A-Za-z0-9_.-]*_autogen\)$|\1/fast|p')
# shellcheck disable=SC2086
cmake --build "$work/build" --target $autogen --parallel "$jobs" >"$work/autogen.log" 2>&1 || {
    cat "$work/autogen.log" >&2
    exit 1
}
cat >"$work/commands.cmake" <<'EOF'
file(READ ${db} json)
string(JSON count LENGTH "${json}")
math(EXPR last "${count} - 1")
set(lines "")
foreach(i RANGE ${last})
    string(JSON file GET "${json}" ${i} file)
    if(file MATCHES "/(kcodec|kframe|usbdescriptors|usbdevice|usbdevice_win)\\.cpp$|/qrc_[^/]*\\.cpp$")
        continue() # built above; embedded resource data
    endif()
    string(JSON dir GET "${json}" ${i} directory)
    string(JSON command GET "${json}" ${i} command)
    string(APPEND lines "cd '${dir}' && ${command} -fsyntax-only\n")
endforeach()
file(WRITE ${out} "${lines}")
EOF
cmake -Ddb="$work/build/compile_commands.json" -Dout="$work/commands.txt" -P "$work/commands.cmake"
checked=$(wc -l <"$work/commands.txt")
tr '\n' '\0' <"$work/commands.txt" | xargs -0 -P "$jobs" -n 1 bash -c
echo "$checked sources of the Windows configuration compiled (syntax only) with $cxx"

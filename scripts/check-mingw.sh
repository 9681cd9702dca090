#!/usr/bin/env bash
# check-mingw.sh [COMPILER] [WORKDIR]: checks the Windows configuration with mingw-w64, so that
# Windows-only code cannot rot and Unix-only code cannot creep into a shared file.
#
#  1. Configures the project for Windows (simulator off) against Debian's Qt 5 (QT5_DIR, else found).
#  2. Builds the protocol library (codec, framing, OS descriptor parser, WinUSB device; no libusb) and
#     links two programs against it, statically, with winusb and setupapi: the codec and framing property
#     checks (fuzz/kprops_seeded.cpp) and the WinUSB device's no-key path.
#  3. Runs both under Wine (wine64): the property checks on KPROPS_INPUTS seeded inputs (300000;
#     seed KPROPS_SEED), whose frames must equal byte for byte those of the same program built for
#     Linux; and the no-key path: discovery finds no key, and after cancel() a write and a read fail
#     at once. Wine's winusb.dll is stubs only, so the paths past discovery stay compile-checked.
#     The Wine prefix lives in WORKDIR; its first start takes some 10 s.
#  4. Compiles every other source of that configuration, syntax only: the product, the suites that
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
linux_job=""
cleanup() {
    [ -z "$linux_job" ] || kill "$linux_job" 2>/dev/null || true
    [ -z "${wine_job:-}" ] || kill "$wine_job" 2>/dev/null || true
    [ -z "${temporary:-}" ] || rm -rf "$temporary"
}
trap cleanup EXIT
if [ -z "$work" ]; then
    work=$(mktemp -d)
    temporary=$work
fi
mkdir -p "$work"

# The Linux side of the frame comparison, built and run while the Windows build proceeds.
seed=${KPROPS_SEED:-20261206}
inputs=${KPROPS_INPUTS:-300000}
kprops_sources=("$source/key/kcodec.cpp" "$source/key/kframe.cpp" "$source/fuzz/kprops_seeded.cpp")
(
    ${CXX:-c++} -std=c++17 -O2 -Wall -Wextra -Werror -I"$source" "${kprops_sources[@]}" -o "$work/kprops-linux" &&
        "$work/kprops-linux" "$seed" "$inputs" "$work/frames-linux.txt"
) >"$work/kprops-linux.log" 2>&1 &
linux_job=$!

# Wine makes its prefix on the first start, some 10 s; that too happens while the Windows build proceeds.
wine=$(command -v wine64 || true)
[ -n "$wine" ] || [ ! -x /usr/lib/wine/wine64 ] || wine=/usr/lib/wine/wine64
wine_job=""
if [ -n "$wine" ]; then
    # No Mono or Gecko installer on the prefix's first start.
    export WINEPREFIX="$work/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    "$wine" wineboot --init </dev/null >"$work/wineboot.log" 2>&1 &
    wine_job=$!
fi
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
cat >"$work/nokey.cpp" <<'CPP'
// The WinUSB device with no key present: discovery finds none, and once cancelled, a write, a read
// and a discovery fail at once. Exits with the number of the first check that fails.
#include "key/usbdevice.h"

#include <chrono>
#include <cstdio>

int main()
{
    std::unique_ptr<UsbDevice> device = createKeyDevice();
    if (device->openDevice())
        return 1;
    const auto start = std::chrono::steady_clock::now();
    device->cancel();
    const uint8_t frame[] = {0x7E, 0x01, 0x02, 0x7E};
    if (device->writeBulk(frame, sizeof(frame), device->frameDeadline()) != -1)
        return 2;
    uint8_t buffer[1024];
    if (device->readBulk(buffer, sizeof(buffer)) != -1)
        return 3;
    if (device->openDevice())
        return 4;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (ms.count() > 100)
        return 5;
    std::printf("no key found; after cancel() a write and a read failed at once (%d ms)\n", static_cast<int>(ms.count()));
    return 0;
}
CPP
protocol_lib=$work/build/libsealstation_protocol.a
"$cxx" -std=c++17 -O2 -Wall -Wextra -Werror -static -I"$source" "$work/nokey.cpp" "$protocol_lib" \
    -lwinusb -lsetupapi -o "$work/nokey.exe" &
"$cxx" -std=c++17 -O2 -Wall -Wextra -Werror -static -I"$source" "$source/fuzz/kprops_seeded.cpp" "$protocol_lib" \
    -o "$work/kprops-windows.exe" || exit 1
wait $! || exit 1
echo "Protocol library built and two programs linked against it with $cxx"

if [ -z "$wine" ]; then
    echo "wine64 not found: the Windows programs were built, not run" >&2
else
    wait "$wine_job" || {
        cat "$work/wineboot.log" >&2
        echo "Wine did not start" >&2
        exit 1
    }
    wine_job=""
    status=0
    out=$(cd "$work" && "$wine" nokey.exe </dev/null 2>"$work/wine.log") || status=$?
    [ "$status" -eq 0 ] || {
        cat "$work/wine.log" >&2
        echo "The WinUSB device's no-key path failed check $status under Wine" >&2
        exit 1
    }
    echo "WinUSB device under Wine: $out"
    (cd "$work" && "$wine" kprops-windows.exe "$seed" "$inputs" frames-windows.txt </dev/null) 2>"$work/wine.log" || {
        cat "$work/wine.log" >&2
        echo "The property checks failed under Wine (seed $seed)" >&2
        exit 1
    }
    wait "$linux_job" || {
        cat "$work/kprops-linux.log" >&2
        echo "The property checks failed on Linux (seed $seed)" >&2
        exit 1
    }
    linux_job=""
    if ! differ=$(cmp "$work/frames-linux.txt" "$work/frames-windows.txt"); then
        line=$(sed -n 's/.* line \([0-9]*\)$/\1/p' <<<"$differ")
        echo "The Windows build made other bytes than the Linux build: ${differ:-one output is shorter}" >&2
        [ -z "$line" ] || echo "input $((line - 1)) of seed $seed: Linux $(sed -n "${line}p" "$work/frames-linux.txt"), Windows $(sed -n "${line}p" "$work/frames-windows.txt")" >&2
        exit 1
    fi
    echo "Codec and framing properties hold for $inputs seeded inputs (seed $seed) on Linux and under Wine;" \
        "the frames and messages built are the same bytes"
fi

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

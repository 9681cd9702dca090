#!/usr/bin/env bash
# screenshots.sh [BUILD_DIR]: runs the real program on a virtual X server against the emulated key and
# the simulated web service, drives it with keystrokes and clicks as an operator would, and saves
# docs/screenshot-login.png, docs/screenshot-packing.png and docs/screenshot-settings.png.
# QT_SCALE_FACTOR=2 takes them as a 200 % screen shows them, into docs/screenshot-*-2x.png.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
scale=${QT_SCALE_FACTOR:-1}
[[ $scale =~ ^[1-4]$ ]] || { echo "QT_SCALE_FACTOR must be a whole number from 1 to 4" >&2; exit 2; }
suffix=""
[ "$scale" = 1 ] || suffix=-${scale}x
bash scripts/deps.sh
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target sealstation sealstation-sim grab-window --parallel 2 >/dev/null
bin=$build/bin

tmp=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

# Everything the program and the simulator touch stays in the temporary directory.
export SEALSTATION_KEY_SOCKET=$tmp/key.sock XDG_DATA_HOME=$tmp/data XDG_RUNTIME_DIR=$tmp
export QT_QPA_PLATFORM=xcb LANG=C.UTF-8
unset http_proxy https_proxy all_proxy no_proxy

# Waits up to $1 tenths of a second for the command that follows to succeed.
wait_for() {
    local tries=$1
    shift
    until "$@" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || { echo "Timed out waiting for: $*" >&2; exit 1; }
        sleep 0.1
    done
}

display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 $((1280 * scale))x$((900 * scale))x24 -nolisten tcp >"$tmp/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=:$display
wait_for 100 xdpyinfo

# The station simulator on free ports, with a lock in front of its key.
echo "present 303659" >"$tmp/station.commands"
"$bin/sealstation-sim" --port 0 --relay-port 0 --db "$tmp/vesk.db" --key-socket "$SEALSTATION_KEY_SOCKET" \
    --script "$tmp/station.commands" --no-input >"$tmp/sim.out" 2>&1 &
pids+=($!)
wait_for 100 test -S "$SEALSTATION_KEY_SOCKET"

"$bin/sealstation" >"$tmp/app.out" 2>&1 &
pids+=($!)
window=$(xdotool search --sync --onlyvisible --name '^Vesk$' | head -n 1)
xdotool windowfocus --sync "$window"
# The key answers its connect request; the log shows when the service session exists.
wait_for 100 grep -q 'URL that will be used' "$tmp/data/Vesk/SealStation/sealstation.log"
sleep 0.5

shot() {
    sleep 0.7 # let the last repaint reach the server
    "$bin/grab-window" "$1" "$2"
    echo "Saved $2"
}

xdotool type --delay 40 operator
xdotool key Tab
xdotool type --delay 40 Pack2025
shot "$window" docs/screenshot-login$suffix.png

xdotool key Return
wait_for 100 grep -q 'Logged in successfully!' "$tmp/data/Vesk/SealStation/sealstation.log"
xdotool type --delay 20 2531011021
xdotool key Return
wait_for 100 grep -q 'Linking subject and school' "$tmp/data/Vesk/SealStation/sealstation.log"
sleep 0.5
xdotool key Return # the focus is on Pack
wait_for 100 grep -q 'Closed successfully' "$tmp/data/Vesk/SealStation/sealstation.log"
sleep 1
shot "$window" docs/screenshot-packing$suffix.png

# File, then its first entry: Settings.
xdotool mousemove --window "$window" $((18 * scale)) $((10 * scale)) click 1
sleep 0.5
xdotool key Down Return
dialog=$(xdotool search --sync --onlyvisible --name '^Application settings$' | head -n 1)
shot "$dialog" docs/screenshot-settings$suffix.png
xdotool key Escape

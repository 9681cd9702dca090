#!/usr/bin/env bash
# run.sh [simulator options...]: installs what is missing, builds in Release, and starts the
# application against the station simulator (web service, key and relay server on this machine).
# The simulator's console stays in this terminal; the application's output goes to
# build/sealstation-run.log. Quitting the simulator closes the application and closing the
# application stops the simulator. Options go to sealstation-sim, e.g. --port 8081 or --fresh.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    cat >&2 <<'EOF'
No display: DISPLAY and WAYLAND_DISPLAY are unset, so the application has no screen to show
its window on. Run it on a virtual X server instead:

    xvfb-run -a -s "-screen 0 1280x1024x24" scripts/run.sh

or, to look at that screen or type into the application from another terminal:

    Xvfb :99 -screen 0 1280x1024x24 &
    DISPLAY=:99 scripts/run.sh
    # in another terminal:
    DISPLAY=:99 xdotool type 2531011021          # types into the focused field
    DISPLAY=:99 import -window root screen.png     # a screenshot, with ImageMagick installed
EOF
    exit 1
fi

bash scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
echo "Building the application and the simulator (Release) in build/ ..."
if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
else
    cmake build -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
# Only the two programs: the tests are the test command's business. Progress lines only; the
# whole output is kept in build/run-build.log.
if ! cmake --build build --target sealstation sealstation-sim --parallel "$jobs" 2>&1 | tee build/run-build.log |
    { grep --line-buffered -E '^\[ *[0-9]+%\] (Building|Linking)' || true; }; then
    tail -n 30 build/run-build.log >&2
    echo "The build failed; the whole output is in build/run-build.log" >&2
    exit 1
fi

# The application finds the key where the simulator's key listens: --key-socket if given,
# else $SEALSTATION_KEY_SOCKET, else the application's default path.
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case ${args[i]} in
    --key-socket=*) SEALSTATION_KEY_SOCKET=${args[i]#--key-socket=} ;;
    --key-socket) [ $((i + 1)) -lt ${#args[@]} ] && SEALSTATION_KEY_SOCKET=${args[i + 1]} ;;
    esac
done
if [ -z "${SEALSTATION_KEY_SOCKET:-}" ]; then
    if [ -n "${XDG_RUNTIME_DIR:-}" ]; then
        SEALSTATION_KEY_SOCKET=$XDG_RUNTIME_DIR/sealstation-key.sock
    else
        SEALSTATION_KEY_SOCKET=/tmp/sealstation-key-$(id -u).sock
    fi
fi
export SEALSTATION_KEY_SOCKET

app_log=build/sealstation-run.log
data_dir=${XDG_DATA_HOME:-$HOME/.local/share}/Vesk/SealStation
echo "The application's output goes to $app_log, its debug log to $data_dir/sealstation.log"
[ -n "${DISPLAY:-}" ] && echo "The application's window is on display $DISPLAY"

# The application waits (up to 5 s) for the simulator's key, so a simulator that cannot start
# (a port in use) is reported before any window opens.
(
    for _ in $(seq 50); do
        [ -S "$SEALSTATION_KEY_SOCKET" ] && break
        sleep 0.1
    done
    exec build/bin/sealstation
) </dev/null >"$app_log" 2>&1 &
app=$!

stop_app() {
    if kill -0 "$app" 2>/dev/null; then
        kill -TERM "$app" 2>/dev/null || true
    fi
    wait "$app" 2>/dev/null || true
}
trap stop_app EXIT

# In the foreground, so its console has this terminal; Ctrl+C stops it cleanly.
sim_status=0
build/bin/sealstation-sim --key-socket "$SEALSTATION_KEY_SOCKET" --exit-with "$app" "$@" || sim_status=$?

if [ "$sim_status" -ne 0 ]; then
    # At start-up the application is still waiting for the key and has shown nothing.
    stop_app
    echo "The simulator ended with status $sim_status; the application is closed too." >&2
elif kill -0 "$app" 2>/dev/null; then
    echo "Closing the application."
    stop_app
else
    app_status=0
    wait "$app" 2>/dev/null || app_status=$?
    if [ "$app_status" -eq 0 ]; then
        echo "The application has closed."
    else
        echo "The application ended with status $app_status; its output is in $app_log" >&2
    fi
fi
trap - EXIT
exit "$sim_status"

#!/usr/bin/env bash
# Installs what is missing, builds in Release and starts the application.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found (DISPLAY is unset)." >&2
    echo "Run it under a virtual X server instead:  xvfb-run -a scripts/run.sh" >&2
    exit 1
fi
exec build/bin/sealstation

#!/usr/bin/env bash
# Builds the normal build and runs the end-to-end test (the application and the simulator on a
# private X server, typed into like an operator) RUNS times in a row, 3 unless given.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}

bash scripts/deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DSEALSTATION_WERROR=ON
listed=$(cd build && ctest -N -R '^e2e_station$')
if ! grep -q e2e_station <<<"$listed"; then
    echo "The end-to-end test is not configured: it needs Xvfb and xdotool." >&2
    exit 1
fi
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -R '^e2e_station$' --repeat until-fail:"$runs")

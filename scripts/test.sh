#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: in the normal
# build and in a build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc 2>/dev/null || echo 2)

echo "== Normal build (build/) =="
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DSEALSTATION_WERROR=ON
(cd build && ctest --output-on-failure --parallel "$jobs")

echo "== Sanitized build (build-asan/) =="
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DSEALSTATION_WERROR=ON -DSEALSTATION_SANITIZE=ON \
    -DSEALSTATION_BUILD_BENCH=OFF
(cd build-asan && ctest --output-on-failure --parallel "$jobs")

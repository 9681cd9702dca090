#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test three times: in the normal build (Qt 5.15),
# in a build with AddressSanitizer and UndefinedBehaviorSanitizer, and in a build against Qt 6.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc 2>/dev/null || echo 2)

echo "== Normal build, Qt 5 (build/) =="
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DSEALSTATION_WERROR=ON
(cd build && ctest --output-on-failure --parallel "$jobs")
echo "Libraries build/bin/sealstation needs:"
bash scripts/check-needed.sh build/bin/sealstation

echo "== Sanitized build, Qt 5 (build-asan/) =="
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DSEALSTATION_WERROR=ON -DSEALSTATION_SANITIZE=ON \
    -DSEALSTATION_BUILD_BENCH=OFF -DSEALSTATION_EXTRA_CHECKS=OFF
(cd build-asan && ctest --output-on-failure --parallel "$jobs")

# The suites again against Qt 6; the checks that do not depend on the Qt version ran above.
echo "== Normal build, Qt 6 (build-qt6/) =="
bash scripts/build.sh build-qt6 -DCMAKE_BUILD_TYPE=Release -DSEALSTATION_WERROR=ON -DSEALSTATION_QT=6 \
    -DSEALSTATION_BUILD_BENCH=OFF -DSEALSTATION_EXTRA_CHECKS=OFF
(cd build-qt6 && ctest --output-on-failure --parallel "$jobs")

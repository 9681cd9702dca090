#!/usr/bin/env bash
# check-needed.sh [BINARY]: lists the shared libraries the program needs (its NEEDED entries) and
# fails when one is neither Qt, libusb (the key's USB transport on Linux) nor the C/C++ runtime of the
# system. build/bin/sealstation by default.
set -euo pipefail
cd "$(dirname "$0")/.."
binary=${1:-build/bin/sealstation}
readelf=${READELF:-readelf}

needed=$("$readelf" -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if [ -z "$needed" ]; then
    echo "check-needed.sh: no NEEDED entries in $binary" >&2
    exit 1
fi
allowed='^(libQt[56][A-Za-z]+|libusb-1\.0|libstdc\+\+|libm|libgcc_s|libc|ld-linux-[a-z0-9_-]+)\.so(\.[0-9]+)*$'
status=0
while read -r lib; do
    if [[ $lib =~ $allowed ]]; then
        echo "  $lib"
    else
        echo "  $lib    <- not allowed: only Qt, libusb and the system's C and C++ runtimes" >&2
        status=1
    fi
done <<<"$needed"
exit $status

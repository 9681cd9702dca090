#!/usr/bin/env bash
# fuzz.sh SECONDS [TARGET...]: builds the libFuzzer targets of the key codec, the framing, the key
# engine, the USB OS descriptor parser and the service reply parsers with clang and runs each (all by
# default) for SECONDS, then reports its executions and crashes. Exits non-zero when a target crashed.
# FUZZ_OUT_DIR (default fuzz/out) holds the binaries, the growing corpus and any crash inputs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(parse receive engine usbdesc reply)
out=${FUZZ_OUT_DIR:-fuzz/out}
cxx=${FUZZ_CXX:-clang++}
mkdir -p "$out"

declare -A max_len=([parse]=4096 [receive]=3000 [engine]=8192 [usbdesc]=4200 [reply]=8192)
# The engine and reply targets are Qt code: their meta-objects come from moc, Qt from pkg-config.
moc=$(pkg-config --variable=host_bins Qt5Core)/moc
mkdir -p "$out/moc"
mocced() {
    local header name
    for header in "$@"; do
        name=$(basename "$header" .h)
        "$moc" -I. "$header" -o "$out/moc/moc_$name.cpp"
        echo "$out/moc/moc_$name.cpp"
    done
}
engine_sources=(key/clinker.cpp key/srvlink.cpp key/usblink.cpp key/usbdevice.cpp key/usbdevice_unix.cpp
    key/usbdevice_libusb.cpp key/usbdescriptors.cpp app/configuration.cpp app/trace.cpp)
failed=0
for target in "${targets[@]}"; do
    bin="$out/fuzz_$target"
    extra=()
    if [ "$target" = engine ]; then
        # shellcheck disable=SC2046
        extra+=($(mocced key/clinker.h key/srvlink.h key/usblink.h app/configuration.h) "${engine_sources[@]}"
            -fPIC $(pkg-config --cflags --libs Qt5Core Qt5Network libusb-1.0) -lpthread)
    elif [ "$target" = usbdesc ]; then
        extra+=(key/usbdescriptors.cpp)
    elif [ "$target" = reply ]; then
        # shellcheck disable=SC2046
        extra+=($(mocced $(grep -l Q_OBJECT model/*.h)) app/trace.cpp model/*.cpp
            -fPIC $(pkg-config --cflags --libs Qt5Core))
    fi
    "$cxx" -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        -I. key/kcodec.cpp key/kframe.cpp "fuzz/fuzz_$target.cpp" "${extra[@]}" -o "$bin"
    # New inputs go to a working corpus; the committed seeds are only read.
    work="$out/corpus-$target"
    rm -rf "$out/crashes-$target"
    mkdir -p "$work" "$out/crashes-$target"
    log="$out/fuzz_$target.log"
    status=0
    lsan=""
    [ "$target" = reply ] && lsan=suppressions=fuzz/lsan-qt-json.supp:print_suppressions=0
    ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=$lsan UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$bin" -max_total_time="$seconds" -max_len="${max_len[$target]}" -print_final_stats=1 \
        -artifact_prefix="$out/crashes-$target/" "$work" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    crashes=$(find "$out/crashes-$target" -type f | wc -l)
    echo "fuzz_$target: ${execs:-0} executions in ${seconds} s, $crashes crashes, exit status $status"
    if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
        failed=1
        tail -n 40 "$log"
    fi
done
exit $failed

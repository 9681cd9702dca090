#!/usr/bin/env bash
# fuzz.sh SECONDS: builds the libFuzzer targets of the key codec and framing and of the service reply
# parsers with clang and runs each for SECONDS, then reports its executions and crashes. Exits non-zero when a target crashed.
# FUZZ_OUT_DIR (default fuzz/out) holds the binaries, the growing corpus and any crash inputs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=${FUZZ_OUT_DIR:-fuzz/out}
cxx=${FUZZ_CXX:-clang++}
mkdir -p "$out"

declare -A max_len=([parse]=4096 [receive]=3000 [reply]=8192)
flags=(-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -I.)
# The reply parsers are Qt code: their meta-objects come from moc, Qt itself from pkg-config.
moc=$(pkg-config --variable=host_bins Qt5Core)/moc
mkdir -p "$out/moc"
reply_sources=(app/trace.cpp model/*.cpp fuzz/fuzz_reply.cpp)
for header in $(grep -l Q_OBJECT model/*.h); do
    name=$(basename "$header" .h)
    "$moc" "$header" -o "$out/moc/moc_$name.cpp"
    reply_sources+=("$out/moc/moc_$name.cpp")
done
failed=0
for target in parse receive reply; do
    bin="$out/fuzz_$target"
    if [ "$target" = reply ]; then
        # shellcheck disable=SC2046
        "$cxx" "${flags[@]}" -fPIC $(pkg-config --cflags Qt5Core) "${reply_sources[@]}" -o "$bin" \
            $(pkg-config --libs Qt5Core)
    else
        "$cxx" "${flags[@]}" key/kcodec.cpp key/kframe.cpp "fuzz/fuzz_$target.cpp" -o "$bin"
    fi
    # New inputs go to a working corpus; the committed seeds are only read.
    work="$out/corpus-$target"
    rm -rf "$out/crashes-$target"
    mkdir -p "$work" "$out/crashes-$target"
    log="$out/fuzz_$target.log"
    status=0
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
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

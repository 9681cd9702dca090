#!/usr/bin/env bash
# Measures the performance figures, each against a baseline measured in the same run, and prints
# them as a table. Builds what it needs in build/ (Release) first.
#
#   scripts/bench.sh            the four figures
#   scripts/bench.sh --protocol also the key protocol micro-benchmarks (Google Benchmark)
#
# RUNS (start-ups of each program, 15), BAGS (30) and TRANSFERS (9 per key version) set the sample
# sizes. The start-up is measured on a private X server when xvfb-run is at hand, else offscreen.
set -euo pipefail
cd "$(dirname "$0")/.."

protocol=0
[ "${1:-}" = "--protocol" ] && protocol=1
runs=${RUNS:-15}
bags=${BAGS:-30}
transfers=${TRANSFERS:-9}

bash scripts/deps.sh
if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DSEALSTATION_WERROR=ON >/dev/null
fi
targets=(sealstation bench_minimal_widgets sealstation_startup_probe bench_startup bench_station)
[ $protocol = 1 ] && targets+=(bench_protocol)
cmake --build build --parallel "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}" >/dev/null

out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
# Says which program failed and shows its error output.
failed() {
    echo "bench.sh: $1 failed:" >&2
    grep -v '^QStandardPaths:' "$err" >&2 || true
    exit 1
}

echo "Measuring start-up and peak memory ($runs runs of each program)..." >&2
startup=(build/bin/bench_startup --app build/bin/sealstation --baseline build/bin/bench_minimal_widgets
    --probe build/bin/libsealstation_startup_probe.so --runs "$runs")
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null 2>&1; then
    env -u QT_QPA_PLATFORM xvfb-run -a -s "-screen 0 1280x1024x24" "${startup[@]}" >>"$out" 2>"$err" ||
        failed bench_startup
elif [ -n "${DISPLAY:-}" ]; then
    env -u QT_QPA_PLATFORM "${startup[@]}" >>"$out" 2>"$err" || failed bench_startup
else
    QT_QPA_PLATFORM=offscreen "${startup[@]}" >>"$out" 2>"$err" || failed bench_startup
fi

echo "Measuring per-bag overhead ($bags bags) and relay throughput ($transfers transfers)..." >&2
# The application's own traces go to standard output too; only the figure lines are kept.
station=$(QT_QPA_PLATFORM=offscreen build/bin/bench_station --bags "$bags" --transfers "$transfers" 2>"$err") ||
    failed bench_station
grep -E '^(#|[a-z_]+ app=)' <<<"$station" >>"$out"

echo
grep '^#' "$out" | sed 's/^# /  /'
echo
awk '
function field(name,   i, kv) {
    for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == name) return kv[2] }
    return ""
}
BEGIN {
    label["startup_ms"] = "Start-up to first shown window (ms)|minimal Qt Widgets program"
    label["peak_rss_mib"] = "Peak memory, VmHWM (MiB)|minimal Qt Widgets program"
    label["bag_wall_ms"] = "Per bag: Enter to close request (ms)|4 requests, QNetworkAccessManager"
    label["bag_cpu_ms"] = "Per bag: CPU time (ms)|4 requests, QNetworkAccessManager"
    label["bag_wall_ms_vs_raw"] = "Per bag: Enter to close request (ms)|4 requests, raw socket"
    label["bag_cpu_ms_vs_raw"] = "Per bag: CPU time (ms)|4 requests, raw socket"
    label["relay_mib_s"] = "Relay throughput, key 1.6.3 (MiB/s)|direct TCP to the relay server"
    label["relay_mib_s_whole_frames"] = "Relay throughput, key before 1.6.3 (MiB/s)|direct TCP to the relay server"
    printf "| %-44s | %11s | %-34s | %9s | %7s |\n", "Figure", "Application", "Baseline", "Baseline", "Ratio"
    printf "|%s|%s|%s|%s|%s|\n", "----------------------------------------------", "-------------:", \
        "------------------------------------", "----------:", "--------:"
}
/ app=/ {
    split(label[$1], parts, "|")
    name = parts[1] != "" ? parts[1] : $1
    printf "| %-44s | %11s | %-34s | %9s | %7s |\n", name, field("app"), parts[2], field("baseline"), field("ratio")
}' "$out"
echo
echo "Medians; ratio = application / baseline. Ranges and sample sizes:"
grep ' app=' "$out" | awk '{ printf "  %-26s n=%s app %s baseline %s\n", $1, substr($5, 3), substr($6, 11), substr($7, 16) }'

if [ $protocol = 1 ]; then
    echo
    build/bin/bench_protocol --benchmark_min_time=0.2
fi

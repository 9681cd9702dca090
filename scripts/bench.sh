#!/usr/bin/env bash
# Measures the performance figures, each against a baseline measured in the same run, and prints
# them as a table. Builds what it needs first: build/ (Release, Qt 5) and build-qt6/ (Release, Qt 6).
#
#   scripts/bench.sh            the figures: start-up, memory and the journal with Qt 5, per bag and relay with
#                               each Qt, and the key's USB transport against its socket (Qt 5, emulated USB bus)
#   scripts/bench.sh --protocol also the key protocol micro-benchmarks (Google Benchmark)
#
# RUNS (start-ups of each program, 15), BAGS (30) and TRANSFERS (9 per key version) set the sample
# sizes, QT ("5 6") the Qt versions of the per-bag and relay figures. The start-up is measured on a
# private X server when xvfb-run is at hand, else offscreen.
set -euo pipefail
cd "$(dirname "$0")/.."

protocol=0
[ "${1:-}" = "--protocol" ] && protocol=1
runs=${RUNS:-15}
bags=${BAGS:-30}
transfers=${TRANSFERS:-9}
read -r -a qts <<<"${QT:-5 6}"
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/deps.sh
# build/ for Qt 5, build-qt6/ for Qt 6; the benchmarks are turned on where the test command left them off.
build_dir() { if [ "$1" = 5 ]; then echo build; else echo "build-qt$1"; fi; }
for qt in 5 "${qts[@]}"; do
    dir=$(build_dir "$qt")
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DSEALSTATION_WERROR=ON -DSEALSTATION_QT="$qt" >/dev/null
    else
        cmake "$dir" -DSEALSTATION_BUILD_BENCH=ON >/dev/null
    fi
    targets=(bench_station)
    if [ "$qt" = 5 ]; then
        targets+=(sealstation bench_minimal_widgets sealstation_startup_probe bench_startup bench_journal)
        [ $protocol = 1 ] && targets+=(bench_protocol)
        # Built where libumockdev-dev is installed (scripts/deps.sh installs it).
        cmake --build "$dir" --target help | grep -q ' bench_usb$' && targets+=(bench_usb)
    fi
    cmake --build "$dir" --parallel "$jobs" --target "${targets[@]}" >/dev/null
done

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

for qt in "${qts[@]}"; do
    echo "Measuring per-bag overhead ($bags bags) and relay throughput ($transfers transfers), Qt $qt..." >&2
    # The application's own traces go to standard output too; only the figure lines are kept, each
    # named with its Qt version.
    station=$(QT_QPA_PLATFORM=offscreen "$(build_dir "$qt")/bin/bench_station" --bags "$bags" \
        --transfers "$transfers" 2>"$err") || failed "bench_station (Qt $qt)"
    grep -E '^(#|[a-z_]+ app=)' <<<"$station" | sed -E "s/^# /# Qt $qt: /; s/^([a-z_]+) app=/qt$qt:\\1 app=/" >>"$out"
done

if [ -x build/bin/bench_usb ]; then
    echo "Measuring the key's USB transport against its socket ($transfers transfers, 10 s idle each)..." >&2
    # Under umockdev's preload library, linked into the program; both transports run under it.
    usb=$(build/bin/bench_usb --transfers "$transfers" 2>"$err") || failed bench_usb
    grep -E '^(#|[a-z_]+ app=)' <<<"$usb" >>"$out"
fi
# The journal's figures on a folder of the build tree, a real disk (a tmpfs would make syncs free).
echo "Measuring the journal: a bag's rows, the view on a year of rows, exports of 10,000 bags (Qt 5)..." >&2
rm -rf build/bench-journal
QT_QPA_PLATFORM=offscreen build/bin/bench_journal --dir "build/bench-journal" >>"$out" 2>"$err" ||
    failed bench_journal
rm -rf build/bench-journal

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
    label["bag_wall_ms_journal"] = "Per bag with the journal: Enter to close request (ms)|the same bag without it"
    label["bag_cpu_ms_journal"] = "Per bag with the journal: CPU time (ms)|the same bag without it"
    label["relay_mib_s"] = "Relay throughput, key 1.6.3 (MiB/s)|direct TCP to the relay server"
    label["relay_mib_s_whole_frames"] = "Relay throughput, key before 1.6.3 (MiB/s)|direct TCP to the relay server"
    label["usb_connect_ms"] = "USB key: connect request to answer (ms)|emulated key socket"
    label["usb_relay_mib_s"] = "USB key: relay, key 1.6.3 (MiB/s)|emulated key socket"
    label["usb_relay_mib_s_whole_frames"] = "USB key: relay, key before 1.6.3 (MiB/s)|emulated key socket"
    label["usb_idle_cpu_pct"] = "USB key: idle CPU over 10 s (% of a core)|emulated key socket"
    label["journal_bag_ms"] = "Journal: the 5 rows of a bag, record() (ms)|5 bare commits, same settings"
    label["journal_row_ms"] = "Journal: one row, not synced (ms)|bare commit, synchronous=NORMAL"
    label["journal_synced_row_ms"] = "Journal: one row, synced (ms)|bare commit, synchronous=FULL"
    label["journal_view_open_ms"] = "Journal view, 100,000 rows, to first paint (ms)|QTreeView, same 100 lines"
    label["journal_csv_ms"] = "Journal: 10,000 bags to CSV (ms)|writing the same bytes"
    label["journal_pdf_ms"] = "Journal: 10,000 bags to PDF (ms)|same lines on bare PDF pages"
    printf "| %-54s | %11s | %-34s | %9s | %7s |\n", "Figure", "Application", "Baseline", "Baseline", "Ratio"
    printf "|%s|%s|%s|%s|%s|\n", "--------------------------------------------------------", "-------------:", \
        "------------------------------------", "----------:", "--------:"
}
/ app=/ {
    key = $1
    qt = ""
    if (match(key, /^qt[0-9]+:/)) {
        qt = "Qt " substr(key, 3, RLENGTH - 3) ": "
        key = substr(key, RLENGTH + 1)
    } else if (key == "startup_ms" || key == "peak_rss_mib" || key ~ /^usb_/ || key ~ /^journal_/) {
        qt = "Qt 5: "
    }
    split(label[key], parts, "|")
    name = qt (parts[1] != "" ? parts[1] : key)
    printf "| %-54s | %11s | %-34s | %9s | %7s |\n", name, field("app"), parts[2], field("baseline"), field("ratio")
}' "$out"
echo
echo "Medians; ratio = application / baseline. Ranges and sample sizes:"
grep ' app=' "$out" | awk '{ printf "  %-30s n=%s app %s baseline %s\n", $1, substr($5, 3), substr($6, 11), substr($7, 16) }'

if [ $protocol = 1 ]; then
    echo
    build/bin/bench_protocol --benchmark_min_time=0.2
fi

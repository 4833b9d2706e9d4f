#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up the machine, builds the codec's benchmark as the tools are built
# by default (RelWithDebInfo, -O2), or with -march=native given --native,
# and runs it: both converters beside memcpy, GLib, RapidJSON, Boost.JSON
# and simdjson on the same raw text, ending with a table of throughputs and
# ours/best-peer ratios.  --plot FILE (.png or .svg) also draws that table
# as a chart.  Other arguments go to the benchmark (for example
# --level=sse2, --pool=65536 for smaller pools of inputs, or
# --benchmark_repetitions=5 for medians).
set -euo pipefail
cd "$(dirname "$0")/.."

preset=bench
plot=
args=()
while [ $# -gt 0 ]; do
    case $1 in
    --native) preset=bench-native ;;
    --plot)
        [ $# -ge 2 ] || { echo "bench.sh: --plot needs a file" >&2; exit 2; }
        plot=$2
        shift
        ;;
    *) args+=("$1") ;;
    esac
    shift
done

scripts/setup.sh bench
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
if [ -z "$plot" ]; then
    exec "build-$preset/bin/textcodec_bench" "${args[@]}"
fi

data=$(mktemp "${TMPDIR:-/tmp}/keltools-chart-XXXXXX")
trap 'rm -f "$data"' EXIT
"build-$preset/bin/textcodec_bench" --chart-data="$data" "${args[@]}"
case $plot in
*.svg) terminal="svg size 1200,900 dynamic background rgb 'white'" ;;
*) terminal="pngcairo size 1200,900" ;;
esac
# Bulk text in GB/s (log scale), names in ns per call: ours beside the best
# complete peer, memcpy and simdjson's bare string kernel.
gnuplot <<GNUPLOT
set terminal $terminal
set output '$plot'
set datafile separator '\t'
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set termoption noenhanced
set key outside right top
set grid ytics
set xtics rotate by -30
set multiplot layout 3,1 title 'KEL text codec against its peers (one run)'
set logscale y
set ylabel 'GB/s of raw text'
set title 'escaping (raw_text_to_kel)'
plot '$data' every ::1::9 using 3:xtic(1) title 'ours', '' every ::1::9 using 4 title 'best peer', \
     '' every ::1::9 using 2 title 'memcpy'
set title 'unescaping (kel_text_to_raw)'
plot '$data' every ::1::9 using 5:xtic(1) title 'ours', '' every ::1::9 using 6 title 'best peer', \
     '' every ::1::9 using 7 title 'simdjson string kernel', '' every ::1::9 using 2 title 'memcpy'
unset logscale y
set ylabel 'ns per call (lower is better)'
set title 'names, both ways'
plot '$data' every ::10::11 using 3:xtic(1) title 'ours escaping', '' every ::10::11 using 4 title 'best escaper', \
     '' every ::10::11 using 5 title 'ours unescaping', '' every ::10::11 using 6 title 'best unescaper', \
     '' every ::10::11 using 2 title 'memcpy'
unset multiplot
GNUPLOT
echo "bench.sh: chart written to $plot"

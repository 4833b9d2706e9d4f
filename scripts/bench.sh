#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up the machine, builds the codec's benchmark as the tools are built
# by default (RelWithDebInfo, -O2), or with -march=native given --native,
# and runs it: both converters beside memcpy, GLib, RapidJSON, Boost.JSON
# and simdjson on the same raw text, ending with a table of throughputs and
# ours/best-peer ratios.  Other arguments go to the benchmark (for example
# --level=sse2, or --benchmark_repetitions=3 for medians).
set -euo pipefail
cd "$(dirname "$0")/.."

preset=bench
args=()
for a in "$@"; do
    if [ "$a" = --native ]; then
        preset=bench-native
    else
        args+=("$a")
    fi
done

scripts/setup.sh bench
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
"build-$preset/bin/textcodec_bench" "${args[@]}"

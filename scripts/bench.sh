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

build=build-bench
flags=()
args=()
for a in "$@"; do
    if [ "$a" = --native ]; then
        build=build-bench-native
        flags=(-DCMAKE_CXX_FLAGS=-march=native)
    else
        args+=("$a")
    fi
done

scripts/setup.sh bench
cmake -S . -B "$build" -DKELTOOLS_TESTS=OFF -DKELTOOLS_BENCH=ON "${flags[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target textcodec_bench >/dev/null
"$build/bin/textcodec_bench" "${args[@]}"

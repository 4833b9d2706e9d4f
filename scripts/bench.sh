#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up the machine, builds the codec's benchmark with optimisation, and
# runs it: every converter beside GLib's C-string escaping and memcpy on the
# same inputs, ending with a table of throughputs and ratios.  Extra
# arguments go to the benchmark (for example --benchmark_min_time=1).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh bench
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKELTOOLS_TESTS=OFF -DKELTOOLS_BENCH=ON >/dev/null
cmake --build build-release -j "$(nproc)" --target textcodec_bench >/dev/null
build-release/bin/textcodec_bench "$@"

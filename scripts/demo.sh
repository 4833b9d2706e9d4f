#!/usr/bin/env bash
# Sets up the machine and builds every Linux deliverable into build/bin.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)"

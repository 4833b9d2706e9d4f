#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test twice: once with
# warnings as errors, once more under AddressSanitizer and
# UndefinedBehaviorSanitizer (with clang, which also builds the fuzz target).
# Exits non-zero as soon as anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

cmake -S . -B build -DKELTOOLS_WERROR=ON
cmake --build build -j "$(nproc)"
(cd build && ctest --output-on-failure -j 2)

cmake -S . -B build-sanitize -DCMAKE_CXX_COMPILER=clang++ -DKELTOOLS_WERROR=ON \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
cmake --build build-sanitize -j "$(nproc)"
(cd build-sanitize && ctest --output-on-failure -j 2)

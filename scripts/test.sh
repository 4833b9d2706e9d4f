#!/usr/bin/env bash
# Sets up the machine, cross-compiles the Windows build, then builds and
# runs every test twice: once with warnings as errors, once more with clang
# under AddressSanitizer and UndefinedBehaviorSanitizer (which also builds
# and runs the codec's fuzz target).  Both runs check the Windows build
# under wine.  Exits non-zero as soon as anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build-windows.sh
windows_bin=$PWD/build-windows/bin

cmake -S . -B build -DKELTOOLS_WERROR=ON -DKELTOOLS_WINDOWS_BIN="$windows_bin"
cmake --build build -j "$(nproc)"
(cd build && ctest --output-on-failure -j 2)

cmake -S . -B build-sanitize -DCMAKE_CXX_COMPILER=clang++ -DKELTOOLS_WERROR=ON \
    -DKELTOOLS_WINDOWS_BIN="$windows_bin" \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
cmake --build build-sanitize -j "$(nproc)"
(cd build-sanitize && ctest --output-on-failure -j 2)

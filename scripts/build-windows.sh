#!/usr/bin/env bash
# Sets up the machine and cross-compiles the Windows console build,
# haltdomainw.exe and the stand-in keluirtl.dll, into build-windows/bin.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DKELTOOLS_WERROR=ON "$@"
cmake --build build-windows -j "$(nproc)"

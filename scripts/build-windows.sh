#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up the machine and cross-compiles the Windows console build,
# haltdomainw.exe and the stand-in keluirtl.dll, into build-windows/bin.
# Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh windows
cmake --preset windows "$@" >/dev/null
cmake --build --preset windows -j "$(nproc)"

# SPDX-License-Identifier: MIT
# The same sources as a 64-bit Windows console build, only to run the
# Windows tests on hosts that cannot run 32-bit x86 code; never shipped.
#   cmake -S . -B build-windows64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(KELTOOLS_WINDOWS_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

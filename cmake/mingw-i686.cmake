# SPDX-License-Identifier: MIT
# The Windows console build as shipped: 32-bit, Intel 80386.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(KELTOOLS_WINDOWS_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

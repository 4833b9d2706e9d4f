# SPDX-License-Identifier: MIT
# Cross-compiles a Windows console build with Debian's mingw-w64 tool
# chain for the processor in KELTOOLS_WINDOWS_ARCH (i686 or x86_64); use
# mingw-i686.cmake or mingw-x86_64.cmake, which set it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KELTOOLS_WINDOWS_ARCH})

set(triplet ${KELTOOLS_WINDOWS_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_RC_COMPILER ${triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

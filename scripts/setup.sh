#!/usr/bin/env bash
# Installs the Debian packages that the build, the demo and the tests need,
# where they are missing.  Safe to run again: it installs nothing twice.
set -euo pipefail

packages=(
    cmake make g++ binutils                # build and the ELF checks
    libgtest-dev libgmock-dev              # unit and end-to-end tests
    clang libclang-rt-dev                  # sanitizer build and libFuzzer
    libbenchmark-dev libglib2.0-dev pkg-config  # the codec's benchmark
    groff-base hostname                    # manual pages, installed-tool tests
    g++-mingw-w64-i686                     # the Windows build
    wine wine32                            # running it
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}"
# wine32 is an i386 package.
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"

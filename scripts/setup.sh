#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that one purpose needs, where they are
# missing, quietly: one line says what is installed and why; apt-get's own
# output goes to a log whose path, with its last lines, is shown only when
# something fails.  Safe to run again: it installs nothing twice.
#
#   setup.sh demo      build the tools and the stand-in (the main job)
#   setup.sh test      everything the test command needs
#   setup.sh windows   cross-compile the Windows build
#   setup.sh bench     the codec's benchmark and its peers
set -euo pipefail

purpose=${1:-}
build=(cmake make g++ binutils)
case $purpose in
demo)
    why="to build the tools"
    packages=("${build[@]}")
    ;;
test)
    why="to build and run the tests"
    packages=(
        "${build[@]}"
        libgtest-dev libgmock-dev          # unit and end-to-end tests
        clang libclang-rt-dev              # sanitizer build and libFuzzer
        groff-base hostname git            # manual pages, installed tools, clean copies
        g++-mingw-w64-i686                 # the Windows build
        g++-mingw-w64-x86-64 wine64        # its sources as a 64-bit build, run under wine64
        wine                               # the wine front end
        lintian devscripts pkgconf         # the Debian packages and the pkg-config file
        debhelper dpkg-dev build-essential # the Debian source package, built
        autopkgtest                        # and tested as installed
        g++-multilib                       # the codec built with -m32
        libbenchmark-dev libglib2.0-dev    # the codec's benchmark is built too,
        rapidjson-dev libboost-json1.81-dev libsimdjson-dev  # with its peers
    )
    # Running the 32-bit build needs wine32, an i386 package; a host that
    # cannot run 32-bit code still installs it, and the probe then skips.
    packages+=(wine32:i386)
    ;;
windows)
    why="to cross-compile the Windows build"
    packages=("${build[@]}" g++-mingw-w64-i686)
    ;;
bench)
    why="to build the codec's benchmark"
    packages=("${build[@]}" libbenchmark-dev libglib2.0-dev pkgconf
        rapidjson-dev libboost-json1.81-dev libsimdjson-dev gnuplot-nox)
    ;;
*)
    echo "usage: setup.sh demo | test | windows | bench" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
log=${TMPDIR:-/tmp}/keltools-setup-$purpose.log
: >"$log"
native=() foreign=()
for p in "${missing[@]}"; do
    case $p in
    *:i386) foreign+=("$p") ;;
    *) native+=("$p") ;;
    esac
done

# apt_install PACKAGE...: apt-get install, its output appended to the log.
apt_install() {
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "$@" >>"$log" 2>&1
}

echo "setup: installing ${missing[*]} $why"
if [ ${#foreign[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386 >>"$log" 2>&1
fi
# An index that fails to download (a mirror in the middle of a sync) is
# said in the log; what can be installed from the others still is.
$sudo apt-get update >>"$log" 2>&1 ||
    echo "setup: apt-get update could not read every index (see $log); going on with what it read"
if [ ${#native[@]} -gt 0 ] && ! apt_install "${native[@]}"; then
    echo "setup: installing failed; the last lines of $log:" >&2
    tail -n 20 "$log" >&2
    exit 1
fi
# The i386 packages only let the 32-bit build run here; without them the
# tests that need them say that they are skipped, and why.
if [ ${#foreign[@]} -gt 0 ] && ! apt_install "${foreign[@]}"; then
    echo "setup: ${foreign[*]} could not be installed (see $log); the 32-bit Windows runs will be skipped"
fi

#!/usr/bin/env bash
# Installs the tool set the way an operator would and runs the installed
# tools against the stand-in runtime placed beside them.
#
#   install_test.sh install BUILD CXX CXXFLAGS   cmake --install, then the codec's CMake package
#   install_test.sh package BUILD                the Debian package, unpacked with dpkg -x
set -euo pipefail

mode=$1
build=$2
work=$(mktemp -d /tmp/keltools-install-XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*"
    exit 1
}

# check_layout ROOT LIBDIR: every file an operator or developer looks for.
check_layout() {
    local root=$1 libdir=$2
    for f in bin/haltdomain bin/tunedomain bin/listmembers bin/nametrace bin/guichannel \
        share/man/man1/haltdomain.1 share/man/man1/tunedomain.1 share/man/man1/listmembers.1 \
        share/man/man1/nametrace.1 share/man/man1/guichannel.1 share/man/man3/textcodec.3 \
        include/textcodec.h "$libdir/libtextcodec.a" "$libdir/cmake/keltools/keltoolsConfig.cmake"; do
        [ -e "$root/$f" ] || fail "$f is not installed"
    done
    for f in libkelui.so libzun.so kelsim; do
        [ ! -e "$root/bin/$f" ] || fail "the stand-in's $f is installed by default"
    done
    for t in haltdomain tunedomain listmembers nametrace; do
        readelf -d "$root/bin/$t" | grep -q 'R.*PATH.*\[\$ORIGIN\]' || fail "$t lost its run path"
    done
    ! readelf -d "$root/bin/guichannel" | grep -q 'R.*PATH' || fail "guichannel has a run path"
}

# run_tools BIN: the installed tools, with the stand-in beside them.
run_tools() {
    local bin=$1 out
    export KELSIM_DIR=$work/state
    "$bin/kelsim" init
    "$bin/kelsim" domain DOM maxload 10
    "$bin/kelsim" set SET alpha beta gamma

    "$bin/haltdomain" DOM || fail "haltdomain failed"
    "$bin/tunedomain" DOM maxload 20 || fail "tunedomain failed"
    out=$("$bin/listmembers" SET) || fail "listmembers failed"
    [ "$out" = $'alpha\nbeta\ngamma' ] || fail "listmembers printed '$out'"
    "$bin/nametrace" 1 || fail "nametrace failed"
    out=$(LD_LIBRARY_PATH=$bin "$bin/guichannel") || fail "guichannel failed"
    [ "$out" = "VODARE/SERVER/CMNDS/$(hostname)/${out##*/}" ] || fail "guichannel printed '$out'"

    local calls
    calls=$(cut -d ' ' -f 2 "$KELSIM_DIR/journal" | sort -u | tr '\n' ' ')
    [ "$calls" = "ZunClient::sendCommand callback kelui_book_objectsetchange kelui_change_option kelui_get_first_object_in_set kelui_get_next_object_in_set kelui_kill " ] ||
        fail "the journal holds the calls $calls"
}

case $mode in
install)
    cxx=$3 cxxflags=$4
    prefix=$work/prefix
    cmake --install "$build" --prefix "$prefix" >/dev/null
    check_layout "$prefix" "$(cd "$prefix" && ls -d lib*/cmake/.. | head -n 1 | sed 's|/cmake/..||')"
    cmake --install "$build" --prefix "$prefix" --component standin >/dev/null
    run_tools "$prefix/bin"

    # Another project finds the codec with find_package and links it.
    mkdir -p "$work/consumer"
    cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
find_package(keltools 1 REQUIRED)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE keltools::textcodec)
CMAKE
    cat >"$work/consumer/main.cpp" <<'CPP'
#include <stdio.h>
#include <textcodec.h>
int main()
{
    char out[16];
    int n = raw_text_to_kel(out, "a/b", 15);
    printf("%d %s\n", n, out);
    return 0;
}
CPP
    cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" >/dev/null ||
        fail "find_package(keltools) failed"
    cmake --build "$work/consumer/build" >/dev/null || fail "the consumer does not build"
    out=$("$work/consumer/build/consumer")
    [ "$out" = '6 a\057b' ] || fail "the consumer printed '$out'"
    ;;
package)
    (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null) ||
        fail "cpack failed"
    deb=$(ls "$work"/deb/keltools_*.deb)
    [ "$(dpkg-deb -f "$deb" Package)" = keltools ] || fail "the package's name"
    [ "$(dpkg-deb -f "$deb" Depends)" = "libc6 (>= 2.34)" ] || fail "the package's dependencies"
    # The C library is all the tools need from Debian, and 2.34 is new enough.
    for t in haltdomain tunedomain listmembers nametrace guichannel; do
        newest=$(objdump -T "$build/bin/$t" | grep -o 'GLIBC_[0-9.]*' | sort -V | tail -n 1)
        [ "$(printf '%s\nGLIBC_2.34\n' "$newest" | sort -V | tail -n 1)" = GLIBC_2.34 ] ||
            fail "$t needs $newest"
    done
    dpkg -x "$deb" "$work/root"
    check_layout "$work/root/usr" lib
    cp "$build/bin/libkelui.so" "$build/bin/libzun.so" "$build/bin/kelsim" "$work/root/usr/bin/"
    run_tools "$work/root/usr/bin"
    ;;
esac
echo "ok: $mode"

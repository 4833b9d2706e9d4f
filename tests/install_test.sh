#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the tool set the way an operator would and runs the installed
# tools against the stand-in runtime placed beside them.
#
# CC, CFLAGS and CONSUMER_LIBS in the environment build the C consumers as
# the codec was built (the sanitizer build needs its compiler, its runtime
# and, for its checks of C++ code, the C++ library).
#
#   install_test.sh install BUILD       cmake --install, then a C consumer of the codec
#                                       through find_package and through pkg-config
#   install_test.sh packages FOLDER     the Debian packages in FOLDER: metadata, file
#                                       lists, unpacked with dpkg -x and run
#   install_test.sh installed-tools     the installed packages (autopkgtest): every tool
#   install_test.sh installed-dev       against the stand-in; a consumer of the codec
set -euo pipefail

mode=$1
build=${2:-}
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
        share/man/man1/haltdomain.1.gz share/man/man1/tunedomain.1.gz \
        share/man/man1/listmembers.1.gz share/man/man1/nametrace.1.gz \
        share/man/man1/guichannel.1.gz share/man/man3/textcodec.3.gz \
        include/keltools/textcodec.h "$libdir/libtextcodec.a" \
        "$libdir/cmake/keltools/keltoolsConfig.cmake" "$libdir/pkgconfig/keltools-textcodec.pc"; do
        [ -e "$root/$f" ] || fail "$f is not installed"
    done
    for t in haltdomain tunedomain listmembers nametrace; do
        readelf -d "$root/bin/$t" | grep -q 'R.*PATH.*\[\$ORIGIN\]' || fail "$t lost its run path"
    done
    ! readelf -d "$root/bin/guichannel" | grep -q 'R.*PATH' || fail "guichannel has a run path"
}

# run_tools BIN LIBS: the installed tools, with the stand-in's libraries
# in LIBS (beside the tools, or the package's private folder).
run_tools() {
    local bin=$1 out
    export KELSIM_DIR=$work/state LD_LIBRARY_PATH=$2
    kelsim=$bin/kelsim
    [ -x "$kelsim" ] || kelsim=kelsim
    "$kelsim" init
    "$kelsim" domain DOM maxload 10
    "$kelsim" set SET alpha beta gamma

    "$bin/haltdomain" DOM || fail "haltdomain failed"
    "$bin/tunedomain" DOM maxload 20 || fail "tunedomain failed"
    out=$("$bin/listmembers" SET) || fail "listmembers failed"
    [ "$out" = $'alpha\nbeta\ngamma' ] || fail "listmembers printed '$out'"
    "$bin/nametrace" 1 || fail "nametrace failed"
    out=$("$bin/guichannel") || fail "guichannel failed"
    [ "$out" = "VODARE/SERVER/CMNDS/$(hostname)/${out##*/}" ] || fail "guichannel printed '$out'"
    unset LD_LIBRARY_PATH

    local calls
    calls=$(cut -d ' ' -f 2 "$KELSIM_DIR/journal" | sort -u | tr '\n' ' ')
    [ "$calls" = "ZunClient::sendCommand callback kelui_book_objectsetchange kelui_change_option kelui_get_first_object_in_set kelui_get_next_object_in_set kelui_kill " ] ||
        fail "the journal holds the calls $calls"
}

# private_standin BIN: the packaged stand-in is not found by itself, so it
# cannot take the place of the real libraries.
private_standin() {
    local status=0
    "$1/haltdomain" DOM 2>/dev/null || status=$?
    [ $status -eq 127 ] || fail "haltdomain found libraries without LD_LIBRARY_PATH (status $status)"
}

# consumer PREFIX LIBDIR: a C program builds against the installed codec
# with either include form, through find_package and through pkg-config,
# and runs.
consumer() {
    local prefix=$1 libdir=$2 out header
    export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
    pkg-config --exists keltools-textcodec || fail "pkg-config does not find keltools-textcodec"
    for header in keltools/textcodec.h textcodec.h; do
        rm -rf "$work/consumer"
        mkdir -p "$work/consumer"
        cat >"$work/consumer/main.c" <<C
#include <stdio.h>
#include <$header>
int main(void)
{
    char out[16];
    int n = raw_text_to_kel(out, "a/b", 15);
    printf("%d %s\\n", n, out);
    return 0;
}
C
        cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(keltools 1 REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE keltools::textcodec)
CMAKE
        cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
            -DCMAKE_C_FLAGS="${CFLAGS:-}" -DCMAKE_EXE_LINKER_FLAGS="${CFLAGS:-} ${CONSUMER_LIBS:-}" >/dev/null ||
            fail "find_package(keltools) failed"
        cmake --build "$work/consumer/build" >/dev/null || fail "the find_package consumer of <$header> does not build"
        out=$("$work/consumer/build/consumer")
        [ "$out" = '6 a\057b' ] || fail "the find_package consumer of <$header> printed '$out'"

        # shellcheck disable=SC2046
        ${CC:-cc} ${CFLAGS:-} -o "$work/consumer/pc" "$work/consumer/main.c" \
            $(pkg-config --cflags --libs keltools-textcodec) ${CONSUMER_LIBS:-} ||
            fail "the pkg-config consumer of <$header> does not build"
        out=$("$work/consumer/pc")
        [ "$out" = '6 a\057b' ] || fail "the pkg-config consumer of <$header> printed '$out'"
    done
}

case $mode in
install)
    prefix=$work/prefix
    cmake --install "$build" --prefix "$prefix" >/dev/null
    libdir=$(cd "$prefix" && dirname "$(ls -d lib*/libtextcodec.a lib/*/libtextcodec.a 2>/dev/null | head -n 1)")
    check_layout "$prefix" "$libdir"
    for f in libkelui.so libzun.so kelsim; do
        [ ! -e "$prefix/bin/$f" ] || fail "the stand-in's $f is installed by default"
    done
    cmake --install "$build" --prefix "$prefix" --component standin >/dev/null
    run_tools "$prefix/bin" "$prefix/bin"
    consumer "$prefix" "$libdir"
    ;;
packages)
    debs=$build
    tools=$(ls "$debs"/keltools_*.deb)
    dev=$(ls "$debs"/keltools-dev_*.deb)
    standin=$(ls "$debs"/keltools-standin_*.deb)
    [ "$(dpkg-deb -f "$tools" Package)" = keltools ] || fail "the tools package's name"
    [ "$(dpkg-deb -f "$dev" Package)" = keltools-dev ] || fail "the development package's name"
    [ "$(dpkg-deb -f "$tools" Depends)" = "libc6 (>= 2.34)" ] ||
        fail "the tools package depends on $(dpkg-deb -f "$tools" Depends)"
    for deb in "$tools" "$dev" "$standin"; do
        maintainer=$(dpkg-deb -f "$deb" Maintainer)
        [[ $maintainer == *@* && $maintainer != *localhost* ]] || fail "maintainer $maintainer"
        description=$(dpkg-deb -f "$deb" Description)
        [ "$(wc -l <<<"$description")" -gt 5 ] || fail "$deb: description too short"
    done
    # Each package holds its own files and no other's.
    tools_files=$(dpkg-deb -c "$tools")
    dev_files=$(dpkg-deb -c "$dev")
    standin_files=$(dpkg-deb -c "$standin")
    grep -q ' ./usr/bin/haltdomain$' <<<"$tools_files" || fail "keltools lacks the tools"
    ! grep -qE 'textcodec|include|kel(ui|sim)|zun' <<<"$tools_files" || fail "keltools holds another's files"
    ! grep -q '/bin/' <<<"$dev_files" || fail "keltools-dev holds programs"
    # The stand-in's libraries never where the dynamic linker looks.
    grep -q ' ./usr/bin/kelsim$' <<<"$standin_files" || fail "keltools-standin lacks kelsim"
    ! grep -qE ' \./usr/lib/([^/]*/)?lib[^/]*\.so' <<<"$standin_files" ||
        fail "keltools-standin puts a library in a public folder"

    root=$work/root
    for deb in "$tools" "$dev" "$standin"; do
        dpkg -x "$deb" "$root"
    done
    libdir=$(cd "$root/usr" && dirname "$(ls -d lib/*/libtextcodec.a)")
    check_layout "$root/usr" "$libdir"
    for t in haltdomain tunedomain listmembers nametrace guichannel; do
        ! readelf -S "$root/usr/bin/$t" | grep -q '\.debug_' || fail "$t is not stripped"
        newest=$(objdump -T "$root/usr/bin/$t" | grep -o 'GLIBC_[0-9.]*' | sort -V | tail -n 1)
        [ "$(printf '%s\nGLIBC_2.34\n' "$newest" | sort -V | tail -n 1)" = GLIBC_2.34 ] ||
            fail "$t needs $newest"
    done
    # Built with the flags of dpkg-buildflags, as hardened as the default build.
    bash "$(dirname "$0")/hardening_test.sh" "$root/usr/bin" || fail "the packaged tools are not hardened"
    run_tools "$root/usr/bin" "$(ls -d "$root"/usr/lib/*/keltools-standin)"
    private_standin "$root/usr/bin"
    consumer "$root/usr" "$libdir"
    ;;
installed-tools)
    run_tools /usr/bin "$(ls -d /usr/lib/*/keltools-standin)"
    private_standin /usr/bin
    ;;
installed-dev)
    consumer /usr "$(cd /usr && dirname "$(ls -d lib/*/libtextcodec.a)")"
    ;;
esac
echo "ok: $mode"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The codec in two builds that the default one does not try, each in a
# scratch folder, the codec's library alone:
#   -march=native  every kernel file still holds only its own level's
#                  instructions (isa_test.sh);
#   -m32           on an x86-64 host, the exact path alone, no kernel file.
# A build this host cannot make (no 32-bit C library) is skipped (77).
#
#   codec_builds_test.sh SOURCE-FOLDER
set -uo pipefail
source=$1
here=$(dirname "$0")
work=$(mktemp -d /tmp/keltools-codec-builds-XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0

# build NAME FLAGS: the codec's library with FLAGS; its objects' folder.
build() {
    cmake -S "$source" -B "$work/$1" -DCMAKE_CXX_FLAGS="$2" -DKELTOOLS_TESTS=OFF \
        -DKELTOOLS_BENCH=OFF >"$work/$1.log" 2>&1 &&
        cmake --build "$work/$1" --target textcodec -j "$(nproc)" >>"$work/$1.log" 2>&1 || {
        cat "$work/$1.log"
        return 1
    }
}

if build native -march=native; then
    bash "$here/isa_test.sh" objdump "$work"/native/src/textcodec/CMakeFiles/textcodec.dir/*.o || status=1
else
    echo "FAIL: the -march=native build"
    status=1
fi

echo 'int main() { return 0; }' >"$work/probe.cpp"
if ! c++ -m32 -o "$work/probe" "$work/probe.cpp" 2>/dev/null; then
    echo "-m32: skipped: this host has no 32-bit C library to link with (g++-multilib)"
    [ $status -ne 0 ] || status=77
elif build m32 -m32; then
    objects=$(ls "$work"/m32/src/textcodec/CMakeFiles/textcodec.dir/)
    if grep -q 'sse2\|avx\|vbmi' <<<"$objects"; then
        echo "FAIL: the -m32 build compiled kernel files: $objects"
        status=1
    else
        echo "ok: the -m32 build has the exact path alone"
    fi
else
    echo "FAIL: the -m32 build"
    status=1
fi
exit $status

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The codec in two builds that the default one does not try, each in a
# scratch folder, the codec's library alone:
#   -march=native  every kernel file still holds only its own level's
#                  instructions (isa_test.sh), and the very code of a build
#                  without the flag, whatever this processor has beyond
#                  its level;
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

# code OBJECT: its instructions, without their addresses.
code() {
    objdump -d --no-show-raw-insn "$1" | tail -n +4 | sed 's/^ *[0-9a-f]*://'
}

if build native -march=native && build plain ""; then
    bash "$here/isa_test.sh" objdump "$work"/native/src/textcodec/CMakeFiles/textcodec.dir/*.o || status=1
    for level in sse2 avx2 avx512 vbmi2; do
        object=src/textcodec/CMakeFiles/textcodec.dir/textcodec_$level.cpp.o
        if ! cmp -s <(code "$work/plain/$object") <(code "$work/native/$object"); then
            echo "FAIL: textcodec_$level.cpp.o under -march=native is not the code of the default build:"
            diff <(code "$work/plain/$object") <(code "$work/native/$object") | head -n 10
            status=1
        else
            echo "ok: textcodec_$level.cpp.o: the same code under -march=native"
        fi
    done
else
    echo "FAIL: the -march=native build, or the one without it"
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

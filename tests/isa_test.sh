#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Each kernel file of the codec holds only instructions of its own level,
# whatever the build's flags: read off the encodings in its object.  In
# 64-bit code a first opcode byte of c4 or c5 is a VEX prefix (AVX, and
# BMI's instructions too) and 62 an EVEX one (AVX-512).
#
#   isa_test.sh OBJDUMP OBJECT...         the objects of the textcodec library
#   isa_test.sh OBJDUMP --windows EXE     no aligned 32- or 64-byte vector move
set -uo pipefail
objdump=$1
shift
status=0

# prefixes OBJECT: how many instructions carry a VEX and an EVEX prefix.
prefixes() {
    "$objdump" -d --insn-width=15 "$1" | awk -F '\t' '
        NF >= 3 && $1 ~ /^ *[0-9a-f]+:$/ {
            n = split($2, bytes, " ")
            i = 1
            # Segment and address-size prefixes may come first.
            while (i <= n && bytes[i] ~ /^(26|2e|36|3e|64|65|67)$/) i++
            if (bytes[i] == "c4" || bytes[i] == "c5") vex++
            else if (bytes[i] == "62") evex++
        }
        END { printf "%d %d\n", vex, evex }'
}

if [ "${1:-}" = --windows ]; then
    moves=$("$objdump" -d "$2" | grep -cE 'vmov(dqa|dqa32|dqa64|aps|apd)[[:space:]].*%[yz]mm' || true)
    if [ "$moves" -ne 0 ]; then
        echo "FAIL: $2 holds $moves aligned 32- or 64-byte vector moves"
        "$objdump" -d "$2" | grep -E 'vmov(dqa|dqa32|dqa64|aps|apd)[[:space:]].*%[yz]mm' | head -n 5
        exit 1
    fi
    echo "ok: no aligned 32- or 64-byte vector move in $2"
    exit 0
fi

# CTest hands a generator expression's list over as one argument.
objects=()
for arg in "$@"; do
    IFS=';' read -r -a parts <<<"$arg"
    objects+=("${parts[@]}")
done
seen=0
for object in "${objects[@]}"; do
    case $object in
    *textcodec_sse2.cpp.o) allowed="no VEX or EVEX" ;;
    *textcodec_avx2.cpp.o) allowed="no EVEX" ;;
    *) continue ;;
    esac
    seen=$((seen + 1))
    read -r vex evex <<<"$(prefixes "$object")"
    if [ "$allowed" = "no VEX or EVEX" ] && [ $((vex + evex)) -ne 0 ]; then
        echo "FAIL: $(basename "$object"): $vex VEX and $evex EVEX instructions"
        status=1
    elif [ "$evex" -ne 0 ]; then
        echo "FAIL: $(basename "$object"): $evex EVEX instructions"
        status=1
    else
        echo "ok: $(basename "$object"): $allowed ($vex VEX)"
    fi
done
if [ $seen -ne 2 ]; then
    echo "FAIL: the SSE2 and AVX2 objects are not among those given"
    status=1
fi
exit $status

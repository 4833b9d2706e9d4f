#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The default build is hardened: every tool is a PIE with full RELRO and
# immediate binding, has a stack protector where its code has arrays and
# the fortified C functions where it calls fortifiable ones.  Read off the
# ELF files with readelf, and with hardening-check too where it is
# installed.
#
#   hardening_test.sh BIN
set -uo pipefail
bin=$1
status=0

fail() {
    echo "FAIL: $*"
    status=1
}

# tool, has arrays (stack protector), calls a fortifiable function
while read -r tool arrays fortified; do
    f=$bin/$tool
    headers=$(readelf -h -l -d --dyn-syms -W "$f")
    grep -q 'Type:.*DYN' <<<"$headers" && grep -q 'FLAGS_1.*PIE' <<<"$headers" ||
        fail "$tool is not a PIE"
    grep -q 'GNU_RELRO' <<<"$headers" || fail "$tool has no RELRO segment"
    grep -qE 'BIND_NOW|FLAGS_1.*NOW' <<<"$headers" || fail "$tool does not bind immediately"
    if [ "$arrays" = yes ]; then
        grep -q '__stack_chk_fail' <<<"$headers" || fail "$tool has no stack protector"
    fi
    if [ "$fortified" = yes ]; then
        grep -qE '__[a-z]+_chk' <<<"$headers" || fail "$tool calls no fortified function"
    fi
    if command -v hardening-check >/dev/null; then
        options=(--nocfprotection) # Debian's C start files carry no CET notes
        [ "$arrays" = yes ] || options+=(--nostackprotector)
        hardening-check "${options[@]}" "$f" >/dev/null || {
            hardening-check "${options[@]}" "$f"
            fail "hardening-check $tool"
        }
    fi
done <<'TOOLS'
haltdomain no no
tunedomain no no
listmembers yes yes
nametrace no no
guichannel yes yes
TOOLS

[ $status -eq 0 ] && echo "ok: the tools are hardened"
exit $status

#!/bin/sh
# SPDX-License-Identifier: MIT
# Says whether this host runs 32-bit x86 Windows programs under wine:
# prints "yes", or "no: <reason>" and exits 1.  KELTOOLS_NO_I386=1 says no,
# so that a host that can also tries the fallback to the 64-bit build.
#
#   probe_i386.sh [WINE32]        WINE32 defaults to /usr/lib/wine/wine
wine32=${1:-/usr/lib/wine/wine}
case ${KELTOOLS_NO_I386:-} in
'' | 0) ;;
*)
    echo "no: KELTOOLS_NO_I386 is set"
    exit 1
    ;;
esac
if [ ! -x "$wine32" ]; then
    echo "no: $wine32 is not installed (package wine32)"
    exit 1
fi
if ! "$wine32" --version >/dev/null 2>&1; then
    echo "no: this host cannot run 32-bit x86 programs ($wine32 does not start)"
    exit 1
fi
echo yes

#!/bin/sh
# SPDX-License-Identifier: MIT
# A manual page renders without a warning and names this version of
# keltools in its footer.
#
#   manpage_test.sh PAGE VERSION
out=$(groff -mandoc -ww -z "$1" 2>&1)
if [ -n "$out" ]; then
    echo "$out"
    exit 1
fi
if ! grep -q "^\.TH .* \"keltools $2\"" "$1"; then
    echo "$1 does not name keltools $2"
    exit 1
fi

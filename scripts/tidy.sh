#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# clang-tidy over every source file of src/, kelsim/ and tests/ that the
# default build compiles, with its compile commands (build/, configured by
# cmake --preset default) and the checks of .clang-tidy.  Prints nothing
# but the warnings; the status is 1 when there is one.
#
#   tidy.sh [BUILD-FOLDER]
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
db=$build/compile_commands.json
if [ ! -f "$db" ]; then
    echo "tidy: no $db: configure with cmake --preset default first"
    exit 1
fi
tidy=$(command -v clang-tidy-14 || command -v clang-tidy) || {
    echo "tidy: clang-tidy is not installed"
    exit 1
}

# The files of ours that the build compiles (the Windows halves are not).
files=()
while IFS= read -r f; do
    grep -q "\"file\": \"$PWD/$f\"" "$db" && files+=("$f")
done < <(git ls-files 'src/*.cpp' 'kelsim/*.cpp' 'tests/*.cpp')
[ ${#files[@]} -gt 0 ] || {
    echo "tidy: no file of ours in $db"
    exit 1
}

printf '%s\0' "${files[@]}" |
    xargs -0 -n 1 -P "$(nproc)" "$tidy" -p "$build" --quiet 2>/dev/null >"$build/tidy.log"
status=$?
# clang-tidy's own count lines go to stderr; the warnings to stdout.
if [ $status -ne 0 ] || grep -q 'warning:\|error:' "$build/tidy.log"; then
    cat "$build/tidy.log"
    echo "tidy: warnings in ${#files[@]} files checked"
    exit 1
fi
echo "tidy: no warning in ${#files[@]} files"

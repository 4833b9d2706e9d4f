#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The test command.  Sets up the machine, cross-compiles the Windows build
# (and the same sources as a 64-bit build), checks that the main job runs
# from a clean copy with tests and benchmark off, then builds and runs
# every test three times:
#   - g++, warnings as errors (the default preset), then clang-tidy over
#     src/, kelsim/ and tests/ with that build's compile commands;
#   - clang under AddressSanitizer and UndefinedBehaviorSanitizer with
#     source-based coverage (the coverage preset), which also builds and
#     runs the codec's fuzz target; it sets KELTOOLS_NO_I386=1, so the
#     fallback for hosts that cannot run 32-bit x86 code is exercised in
#     every run, and fails below the coverage floors (scripts/coverage.sh);
#   - clang under ThreadSanitizer (the tsan preset).
# Before them, the Debian source package: built once, its binary packages
# checked by lintian, and tested as installed by autopkgtest where this
# machine can install packages (scripts/debian.sh).  Each step's header
# says how far into the run it starts.
#
# Every step runs even when an earlier one failed; the status is non-zero
# if any failed, and the failures are the last thing printed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
failures=()

# step NAME COMMAND...: runs a step, and remembers it when it fails.
step() {
    local name=$1
    shift
    echo "=== $name ($SECONDS s into the run)"
    if ! "$@"; then
        failures+=("$name")
        return 1
    fi
}

# quietly COMMAND...: runs a command, showing its output only when it fails.
quietly() {
    local log status
    log=$(mktemp "${TMPDIR:-/tmp}/keltools-step-XXXXXX")
    "$@" >"$log" 2>&1
    status=$?
    [ $status -eq 0 ] || cat "$log"
    rm -f "$log"
    return $status
}

# The failed tests of a build folder's last ctest run, one per line.
failed_tests() {
    sed 's/^[0-9]*:/    /' "$1/Testing/Temporary/LastTestsFailed.log" 2>/dev/null
}

# A copy of the tracked files, as a clean clone has them, runs the demo.
lean_demo() {
    local copy status
    copy=$(mktemp -d "${TMPDIR:-/tmp}/keltools-demo-XXXXXX")
    git ls-files -z | tar -c --null -T - | tar -x -C "$copy"
    (cd "$copy" && scripts/demo.sh) >"$copy.log" 2>&1
    status=$?
    if [ $status -ne 0 ] || ! grep -q '^\$ guichannel$' "$copy.log" ||
        ls "$copy/build/bin" | grep -q '_test$\|_bench$'; then
        cat "$copy.log"
        echo "the demo failed, or built tests or the benchmark"
        status=1
    else
        echo "the demo ran from a clean copy and built only the tools and the stand-in"
    fi
    rm -rf "$copy" "$copy.log"
    return $status
}

# build NAME PRESET: configures and builds a preset, warnings as errors,
# with the tests and both Windows builds to test.
build() {
    local name=$1 preset=$2
    step "$name: configure" quietly cmake --preset "$preset" -DKELTOOLS_WERROR=ON -DKELTOOLS_TESTS=ON \
        -DKELTOOLS_WINDOWS_BIN="$root/build-windows/bin" \
        -DKELTOOLS_WINDOWS64_BIN="$root/build-windows64/bin" &&
        step "$name: build" cmake --build --preset "$preset" -j "$(nproc)"
}

# pass NAME PRESET [COMMAND...]: builds a preset and runs its tests, with
# the test preset's environment, or runs COMMAND in their place.
pass() {
    local name=$1 preset=$2 dir
    shift 2
    dir=$root/$(preset_dir "$preset")
    build "$name" "$preset" || return
    echo "Windows tests: does this host run the 32-bit build under wine? $(tests/probe_i386.sh)"
    [ $# -gt 0 ] || set -- ctest --preset "$preset" -j "$(nproc)"
    step "$name: tests" "$@" || failures[-1]+=$'\n'"$(failed_tests "$dir")"
}

# The build folder of a preset (CMakePresets.json: build-PRESET, or build).
preset_dir() {
    [ "$1" = default ] && echo build || echo "build-$1"
}

step "setup" scripts/setup.sh test || { echo "FAILED: setup"; exit 1; }
step "Windows build (32-bit, shipped)" quietly scripts/build-windows.sh
step "Windows build (64-bit, for hosts without 32-bit support)" quietly bash -c \
    "cmake --preset windows64 && cmake --build --preset windows64 -j $(nproc)"
step "the main job from a clean copy" lean_demo

step "the Debian packages" scripts/debian.sh
pass "g++, warnings as errors" default
step "clang-tidy" scripts/tidy.sh build
KELTOOLS_NO_I386=1 pass "clang, ASan and UBSan with coverage, 64-bit Windows fallback" coverage \
    scripts/coverage.sh --no-build
# Last, so that the run ends with CTest's summary.
pass "clang, ThreadSanitizer" tsan

if [ ${#failures[@]} -gt 0 ]; then
    echo
    echo "FAILED:"
    printf '  %s\n' "${failures[@]}"
    exit 1
fi

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job: sets up the machine, builds the five tools and the stand-in
# KEL runtime into build/bin (no tests, no benchmark), and runs each tool
# once against the stand-in, showing what it printed, its exit status and
# the library calls it made.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh demo
echo "building the tools (about 10 s)..."
cmake --preset default -DKELTOOLS_TESTS=OFF -DKELTOOLS_BENCH=OFF >/dev/null
cmake --build --preset default -j "$(nproc)" \
    --target haltdomain tunedomain listmembers nametrace guichannel kelui zun kelsim >/dev/null

bin=$PWD/build/bin
export KELSIM_DIR=$PWD/build/demo-state
rm -rf "$KELSIM_DIR"
mkdir -m 700 "$KELSIM_DIR"
"$bin/kelsim" init
"$bin/kelsim" domain DOM maxload 10
"$bin/kelsim" set SET alpha beta gamma

state() {
    echo "  state:"
    "$bin/kelsim" show | sed 's/^/    /'
}

# run TOOL ARGS...: the command, its output, its status and its journal records.
run() {
    local seen status
    seen=0
    [ ! -f "$KELSIM_DIR/journal" ] || seen=$(wc -l <"$KELSIM_DIR/journal")
    echo
    echo "\$ $*"
    set +e
    "$bin/$1" "${@:2}" >"$KELSIM_DIR/out"
    status=$?
    set -e
    sed 's/^/  | /' "$KELSIM_DIR/out"
    [ -z "$(tail -c 1 "$KELSIM_DIR/out")" ] || echo "   (no newline at the end)"
    echo "  exit status $status"
    tail -n +"$((seen + 1))" "$KELSIM_DIR/journal" | cut -d ' ' -f 2- | sed 's/^/  journal: /'
}

cat <<TEXT

The tools run against the stand-in KEL runtime (libkelui.so, libzun.so from
kelsim/), not a real KEL system: it keeps a simulated system in a throwaway
state folder, $KELSIM_DIR.
For each tool: the command, what it printed ("| " lines), its exit status,
and "journal:" lines, the library calls that the stand-in recorded for it.

The simulated system at the start:
TEXT
state
run tunedomain DOM maxload 20
state
run tunedomain DOM maxload
run listmembers SET
run nametrace 1
run nametrace on
run haltdomain DOM
state
# guichannel carries no run path of its own: it finds the libraries through LD_LIBRARY_PATH.
export LD_LIBRARY_PATH=$bin
run guichannel

cat <<TEXT

The tools are in $bin.  To run one by hand against the same state:

    export KELSIM_DIR=$KELSIM_DIR
    $bin/kelsim domain DOM maxload 10
    $bin/tunedomain DOM maxload 30
    $bin/kelsim show
TEXT

#!/usr/bin/env bash
# The main job: sets up the machine, builds every Linux deliverable into
# build/bin, and runs each tool once against the stand-in KEL runtime,
# showing what it printed, its exit status and the library calls it made.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" >/dev/null

bin=$PWD/build/bin
export KELSIM_DIR=$PWD/build/demo-state
rm -rf "$KELSIM_DIR"
"$bin/kelsim" init
: >"$KELSIM_DIR/journal"
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

echo "A simulated KEL system in $KELSIM_DIR:"
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

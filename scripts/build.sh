#!/bin/sh
# Configures and builds the whole tree into build/ (or $VEXLOR_BUILD_DIR).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VEXLOR_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" --parallel "$(nproc)"

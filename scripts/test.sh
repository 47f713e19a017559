#!/bin/sh
# Set up and test: installs what is missing, builds, runs every test.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VEXLOR_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
cd "$build"
ctest --output-on-failure --parallel "$(nproc)" --timeout 900

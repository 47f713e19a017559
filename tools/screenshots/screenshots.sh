#!/bin/sh
# Pictures of the main window and its dialogs with the sample job, taken on a
# virtual display: screenshots.sh [OUTPUT_DIR] [vexlor-screenshots options]
# OUTPUT_DIR defaults to build/screenshots; VEXLOR_BUILD_DIR names another
# build folder than build.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${VEXLOR_BUILD_DIR:-$root/build}
out=${1:-$build/screenshots}
[ $# -gt 0 ] && shift
program=$build/bin/vexlor-screenshots
if [ ! -x "$program" ]; then
    echo "screenshots.sh: $program not found; build the vexlor-screenshots target first" >&2
    exit 1
fi
mkdir -p "$out"
if command -v xvfb-run >/dev/null 2>&1; then
    exec xvfb-run -a -s "-screen 0 1600x1200x24" env QT_QPA_PLATFORM=xcb "$program" "$@" "$out"
fi
# Without xvfb-run: a server of our own on the first free display from :99.
display=99
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1600x1200x24 -nolisten tcp >/dev/null 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null' EXIT
i=0
while [ ! -e "/tmp/.X11-unix/X$display" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$program" "$@" "$out"

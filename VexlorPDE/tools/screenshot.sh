#!/bin/sh
# Pictures of the engraving panel as vexlor-options shows it for the engraver
# PPD, on a virtual X display: auto focus off (material thickness and vector
# grid greyed) and on.
# Usage: screenshot.sh [BUILD_DIR] [OUT_DIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
out=${2:-$PWD}
program="$build/bin/vexlor-options"
ppd="$root/tools/ppd/vexlor.ppd"
[ -x "$program" ] || { echo "screenshot.sh: build vexlor-options first ($program)" >&2; exit 1; }
mkdir -p "$out"

# A display nobody uses, and a configuration of our own so that no stored
# settings of the user's change the picture.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
scratch=$(mktemp -d)
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -rf "$scratch"' EXIT INT TERM
tries=0
while [ ! -e "/tmp/.X11-unix/X$display" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || { echo "screenshot.sh: Xvfb did not start" >&2; cat "$scratch/xvfb.log" >&2; exit 1; }
    sleep 0.1
done

run() {
    env -u QT_QPA_PLATFORM DISPLAY=":$display" XDG_CONFIG_HOME="$scratch/config" QT_QPA_PLATFORM=xcb \
        "$program" --ppd "$ppd" "$@"
}
run --screenshot "$out/vexlor-panel.png"
run --set JobType=vector --set autoFocus=enabled --set materialThickness=3.2 --set vectorGrid=enabled \
    --set rasterSpeed=37 --set cResolution=300 --screenshot "$out/vexlor-panel-autofocus.png"
echo "$out/vexlor-panel.png"
echo "$out/vexlor-panel-autofocus.png"

#!/bin/sh
# Times vexlor-gs on every file of the fidelity corpus against Ghostscript
# interpreting the same file with no output device (-sDEVICE=nullpage), at
# the same resolution. Each figure is the best of several runs. Prints one
# table row per file and the ratio; exits non-zero when a ratio is above
# the target.
#
#   bench-vexlor-gs.sh [path/to/vexlor-gs] [corpus folder] [runs] [dpi]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
device="${1:-$here/../../build/bin/vexlor-gs}"
corpus="${2:-$here/../../tests/fidelity/corpus}"
runs="${3:-5}"
dpi="${4:-300}"
target="${VEXLOR_GS_RATIO_TARGET:-3.0}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s%N; }

# best wall time in milliseconds of running the given command $runs times
best() {
    bestms=""
    i=0
    while [ "$i" -lt "$runs" ]; do
        start=$(now)
        "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
        end=$(now)
        ms=$(( (end - start) / 1000000 ))
        if [ -z "$bestms" ] || [ "$ms" -lt "$bestms" ]; then bestms=$ms; fi
        i=$((i + 1))
    done
    echo "$bestms"
}

echo "| File | gs nullpage (ms) | vexlor-gs (ms) | Ratio |"
echo "|---|---|---|---|"
status=0
total_gs=0
total_device=0
for file in "$corpus"/*.ps "$corpus"/*.eps; do
    [ -f "$file" ] || continue
    gsms=$(best gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=nullpage -r"$dpi" "$file")
    devms=$(best "$device" -dDOINTERPOLATE -dBATCH -dSAFER -dNOPAUSE -sDEVICE=vexlor -r"$dpi" \
        -sDitheringType=floyd -sJobType=mono -sOutputFile="$work/o.xml" "$file")
    ratio=$(awk -v a="$devms" -v b="$gsms" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    over=$(awk -v r="$ratio" -v t="$target" 'BEGIN { print (r > t) ? 1 : 0 }')
    mark=""
    if [ "$over" = 1 ]; then mark=" (above $target)"; status=1; fi
    echo "| $(basename "$file") | $gsms | $devms | $ratio$mark |"
    total_gs=$((total_gs + gsms))
    total_device=$((total_device + devms))
done
echo "| all files | $total_gs | $total_device | $(awk -v a="$total_device" -v b="$total_gs" 'BEGIN { printf "%.2f", a / b }') |"
exit $status

#!/bin/sh
# Times what vexlor-gs must keep bounded, in real runs:
#  - a document of 50 pages of text against its first page alone (only the
#    first page is interpreted, so both should cost about the same);
#  - a stroke with the dash pattern [1e-30 1e-30] (billions of dashes if
#    followed), wall time and peak memory, beside Ghostscript drawing it.
# Prints a table; exits non-zero when a target is missed.
#
#   bench-bounds.sh [path/to/vexlor-gs] [dpi]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
device="${1:-$here/../../build/bin/vexlor-gs}"
dpi="${2:-600}"
pages_target="${VEXLOR_GS_PAGES_RATIO_TARGET:-1.5}"
dash_seconds_target="${VEXLOR_GS_DASH_SECONDS_TARGET:-2}"
dash_memory_target_kb="${VEXLOR_GS_DASH_MEMORY_TARGET_KB:-300000}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 50 pages of text, and the same text cut to its first page
i=0
while [ "$i" -lt 3000 ]; do
    echo "Line $i of a long document: the quick brown fox jumps over the lazy dog, again and again."
    i=$((i + 1))
done > "$work/long.txt"
enscript -q --media=Letter -B -L 60 -o "$work/fifty.ps" "$work/long.txt"
head -n 60 "$work/long.txt" > "$work/one.txt"
enscript -q --media=Letter -B -L 60 -o "$work/one.ps" "$work/one.txt"
printf '%%!PS\n[1e-30 1e-30] 0 setdash 100 100 moveto 400 400 lineto stroke showpage\n' > "$work/dash.ps"

run() { # file -> "seconds peak-kb"
    /usr/bin/time -f "%e %M" -o "$work/time" "$device" -dDOINTERPOLATE -dBATCH -dSAFER -dNOPAUSE \
        -sDEVICE=vexlor -r"$dpi" -sDitheringType=floyd -sJobType=mono -sOutputFile="$work/o.xml" "$1" \
        > "$work/out" 2>&1 || { cat "$work/out" >&2; exit 1; }
    cat "$work/time"
}
best() { # file -> best of three "seconds peak-kb"
    bestline=""
    for _ in 1 2 3; do
        line=$(run "$1")
        if [ -z "$bestline" ] || awk -v a="${line% *}" -v b="${bestline% *}" 'BEGIN { exit !(a < b) }'; then
            bestline=$line
        fi
    done
    echo "$bestline"
}

status=0
echo "| Case | vexlor-gs (s) | Peak memory (MB) | Compared with | Figure | Target |"
echo "|---|---|---|---|---|---|"
one=$(best "$work/one.ps")
fifty=$(best "$work/fifty.ps")
ratio=$(awk -v a="${fifty% *}" -v b="${one% *}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
awk -v r="$ratio" -v t="$pages_target" 'BEGIN { exit !(r > t) }' && status=1
echo "| 50 pages of text | ${fifty% *} | $(( ${fifty#* } / 1024 )) | its first page alone: ${one% *} s | $ratio | at most $pages_target |"
dash=$(best "$work/dash.ps")
start=$(date +%s%N)
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pnggray -r"$dpi" -sOutputFile="$work/dash.png" "$work/dash.ps"
gsms=$(( ($(date +%s%N) - start) / 1000000 ))
awk -v s="${dash% *}" -v t="$dash_seconds_target" 'BEGIN { exit !(s > t) }' && status=1
[ "${dash#* }" -gt "$dash_memory_target_kb" ] && status=1
echo "| dash pattern [1e-30 1e-30] | ${dash% *} | $(( ${dash#* } / 1024 )) | Ghostscript drawing it: $gsms ms | | at most $dash_seconds_target s, $(( dash_memory_target_kb / 1024 )) MB |"
exit $status

#!/bin/sh
# Large jobs: a photo over the whole table at several resolutions and vector
# drawings of many line segments, each timed through the whole application
# (bench_app.sh) and through Ghostscript alone on the same file in the same
# run: 1-bit (pbmraw), 8-bit grey (pgmraw) and no output at all (nullpage).
#
# Prints one table: job, the application's turnaround and its stages (median
# and spread over the runs), the Ghostscript times, the ratio of the
# application's turnaround to Ghostscript's pbmraw time, the peak memory of the
# application, and the processor use of the application
# (processor time over turnaround: 2.0 means both processors busy throughout).
# The machine's load average is printed with every run.
#
# Usage: bench_large.sh [-b BUILD_DIR] [-n RUNS] [-m MARKDOWN_FILE] [JOB...]
#   JOB: photo@DPI or lines-N@DPI (default: photo@150 photo@300 photo@600
#        photo@1200 lines-1000@600 lines-100000@600 lines-1000000@600);
#        a job may end in :METHOD (floyd, standard, jarvis, ...), default floyd
#
# The application listens on port 55000: run this where no other program
# does, e.g. in a private network namespace:
#   unshare -mn sh -c 'ip link set lo up; mount -t tmpfs tmpfs /tmp; benchmarks/app/bench_large.sh'
set -u

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build_dir="${VEXLOR_BUILD_DIR:-$source_dir/build}"
runs=3
markdown=""
while getopts "b:n:m:h" opt; do
    case "$opt" in
    b) build_dir=$OPTARG ;;
    n) runs=$OPTARG ;;
    m) markdown=$OPTARG ;;
    *) sed -n '/^# Usage:/,/^set -u/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ "$#" -gt 0 ] || set -- photo@150 photo@300 photo@600 photo@1200 lines-1000@600 lines-100000@600 lines-1000000@600

jobs_dir="${VEXLOR_BENCH_JOBS:-$source_dir/build/bench-jobs}"
"$here/make-jobs.sh" "$jobs_dir" 1000 10000 100000 1000000 || exit 1
work=$(mktemp -d "${TMPDIR:-/tmp}/largebench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Median and spread of numbers on standard input.
summary() {
    sort -n | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "-"; exit }
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        if (NR == 1) print m; else print m " (" v[1] "-" v[NR] ")" }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Wall milliseconds and peak MiB of Ghostscript with device $1 at $2 dpi on $3.
gs_time() {
    /usr/bin/time -f "%e %M %U %S" -o "$work/gs.time" gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE="$1" -r"$2" \
        -sOutputFile=/dev/null "$3" > /dev/null 2>&1
    awk '{ printf "%d %.0f %d\n", $1 * 1000, $2 / 1024, ($3 + $4) * 1000 }' "$work/gs.time"
}

table="$work/table.md"
echo "| Job | Runs | Turnaround (ms) | Ghostscript step | Scene | Preview | Dither | Generate | App processor (ms) | Processor use | App peak (MiB) | gs pbmraw (ms) | gs pgmraw (ms) | gs nullpage (ms) | Ratio to pbmraw (wall) | Ratio to pbmraw (processor) | Load |" > "$table"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|" >> "$table"

for job in "$@"; do
    name=${job%@*}
    rest=${job#*@}
    dpi=${rest%%:*}
    method=floyd
    case "$rest" in *:*) method=${rest#*:} ;; esac
    file="$jobs_dir/$name.ps"
    [ -f "$file" ] || { echo "bench_large.sh: no job $name" >&2; continue; }
    jfile="$work/$name-$method.ps"
    cp "$file" "$jfile"

    echo "== $job ($method), load $(cut -d' ' -f1-3 /proc/loadavg)"
    pbm="" pgm="" null="" pbmcpu=""
    for r in $(seq 1 "$runs"); do
        t=$(gs_time pbmraw "$dpi" "$file")
        pbm="$pbm $(echo "$t" | cut -d' ' -f1)"
        pbmcpu="$pbmcpu $(echo "$t" | cut -d' ' -f3)"
        pgm="$pgm $(gs_time pgmraw "$dpi" "$file" | cut -d' ' -f1)"
        null="$null $(gs_time nullpage "$dpi" "$file" | cut -d' ' -f1)"
    done
    echo "   gs pbmraw:$pbm ms (processor$pbmcpu ms); pgmraw:$pgm ms; nullpage:$null ms"

    out="$work/app-$name-$dpi-$method"
    "$here/bench_app.sh" -b "$build_dir" -n "$runs" -r "$dpi" -d "$method" -k -m "$out.md" "$jfile" > "$out.log" 2>&1
    grep -E '^  run|failed|error' "$out.log" | sed 's/^/   /'
    folder=$(sed -n 's/^Work folder kept: //p' "$out.log" | tail -n 1)
    results=$(ls "$folder"/*/run*/result 2> /dev/null)
    col() { for rf in $results; do sed -n "s/^$1=//p" "$rf"; done | summary; }
    use=$(for rf in $results; do
        t=$(sed -n 's/^turnaround=//p' "$rf"); c=$(sed -n 's/^app_cpu=//p' "$rf")
        awk -v t="$t" -v c="$c" 'BEGIN { if (t > 0) printf "%.2f\n", c / t }'
    done | summary)
    pbm_med=$(echo "$pbm" | tr ' ' '\n' | grep . | median)
    ratio=$(for rf in $results; do
        t=$(sed -n 's/^turnaround=//p' "$rf")
        awk -v t="$t" -v g="$pbm_med" 'BEGIN { if (g > 0) printf "%.1f\n", t / g }'
    done | summary)
    pbmcpu_med=$(echo "$pbmcpu" | tr ' ' '\n' | grep . | median)
    cpuratio=$(for rf in $results; do
        c=$(sed -n 's/^app_cpu=//p' "$rf")
        awk -v c="$c" -v g="$pbmcpu_med" 'BEGIN { if (g > 0) printf "%.1f\n", c / g }'
    done | summary)
    loads=$(for rf in $results; do sed -n 's/^load=//p' "$rf"; done | tr '\n' ' ')
    n=$(echo "$results" | grep -c result)
    echo "| $name @ $dpi dpi, $method | $n/$runs | $(col turnaround) | $(col ghostscript) | $(col scene) | $(col preview) | $(col dither) | $(col generate) | $(col app_cpu) | $use | $(col peak_mib) | $(echo "$pbm" | tr ' ' '\n' | grep . | summary) | $(echo "$pgm" | tr ' ' '\n' | grep . | summary) | $(echo "$null" | tr ' ' '\n' | grep . | summary) | $ratio | $cpuratio | $loads|" >> "$table"
    [ -n "$folder" ] && rm -rf "$folder"
done

echo
echo "Median (min-max) over the runs, times in milliseconds; ratio = application turnaround / Ghostscript pbmraw:"
cat "$table"
[ -z "$markdown" ] || cp "$table" "$markdown"

#!/bin/sh
# Job turnaround of the whole application on real print jobs.
#
# For each PostScript file: the file is filtered with the engraver queue's PPD
# (cupsfilter, as a queue does), a fresh VexlorApp is started offscreen with a
# home folder of its own, the job is sent by the `vexlor` backend to port
# 55000, and the script measures
#
#   - turnaround: from the last byte of the job received by the application
#     (its listener's "%%EOF Found!" line) to /tmp/GSTemp/out.prn written (the
#     file's modification time, taken after "Finished PCL Generation.");
#   - the time of each stage between, from the application's own log lines;
#   - the peak memory of the application (VmHWM of /proc/PID/status, read
#     after the job file is written and before the application is ended), its
#     memory when idle before the job, and the peak memory of the Ghostscript
#     step (maximum resident size of vexlor-gs and its children);
#   - with -s, also the LPD transmission to a virtual engraver (out.prn
#     written to the application's "End of print job").
#
# Every application line is timestamped by the application itself
# (QT_MESSAGE_PATTERN), so the figures do not depend on how fast this script
# reads the log.
#
# Port 55000 is fixed and shared with other test runs: the script waits until
# it is free before starting the application, and starts again when another
# program took it first. Only the processes the script started are ended.
#
# Usage: bench_app.sh [-b BUILD_DIR] [-n RUNS] [-r DPI] [-t JOBTYPE] [-d METHOD] [-s] [-k]
#                     [-m MARKDOWN_FILE] [FILE...]
#   -b  build folder holding bin/ and share/vexlor.ppd (default: ../../build,
#       or $VEXLOR_BUILD_DIR)
#   -n  runs per file (default 3)
#   -r  job resolution, cResolution (default 600)
#   -t  JobType (default combo)
#   -d  dithering method (standard, floyd, jarvis, ...; default: the PPD's)
#   -s  direct printing to a virtual engraver, and time the transmission
#   -k  keep the work folder (logs, filtered jobs) and print where it is
#   -m  also write the summary table to this file
#   FILE...  PostScript files (default: the largest and the smallest file of
#       tests/fidelity/corpus)
set -u

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build_dir="${VEXLOR_BUILD_DIR:-$source_dir/build}"
runs=3
dpi=600
job_type=combo
dithering=""
send=0
keep=0
markdown=""
port=55000
port_wait_limit=${VEXLOR_BENCH_PORT_WAIT:-1800}
job_limit=${VEXLOR_BENCH_JOB_LIMIT:-900}

usage() { sed -n '/^# Usage:/,/^set -u/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2; }

while getopts "b:n:r:t:d:skm:h" opt; do
    case "$opt" in
    b) build_dir=$OPTARG ;;
    n) runs=$OPTARG ;;
    r) dpi=$OPTARG ;;
    t) job_type=$OPTARG ;;
    d) dithering=$OPTARG ;;
    s) send=1 ;;
    k) keep=1 ;;
    m) markdown=$OPTARG ;;
    *) usage ;;
    esac
done
shift $((OPTIND - 1))

case "$runs" in '' | *[!0-9]* | 0) echo "bench_app.sh: -n wants a positive number" >&2; exit 2 ;; esac
case "$dpi" in '' | *[!0-9]* | 0) echo "bench_app.sh: -r wants a positive number" >&2; exit 2 ;; esac

given_build_dir=$build_dir
build_dir=$(cd "$build_dir" 2>/dev/null && pwd) || { echo "bench_app.sh: no build folder $given_build_dir" >&2; exit 2; }
bin="$build_dir/bin"
app="$bin/VexlorApp"
[ -x "$app" ] || app="$build_dir/VexlorApp/app/VexlorApp"
ppd="$build_dir/share/vexlor.ppd"
for f in "$app" "$bin/vexlor-gs" "$bin/vexlor"; do
    [ -x "$f" ] || { echo "bench_app.sh: $f is missing; build VexlorApp vexlor-gs vexlor vexlor-engraver" >&2; exit 2; }
done
[ -f "$ppd" ] || { echo "bench_app.sh: $ppd is missing" >&2; exit 2; }
[ "$send" = 0 ] || [ -x "$bin/vexlor-engraver" ] || { echo "bench_app.sh: $bin/vexlor-engraver is missing" >&2; exit 2; }
command -v cupsfilter > /dev/null || { echo "bench_app.sh: cupsfilter (cups-filters) is missing" >&2; exit 2; }
command -v ss > /dev/null || { echo "bench_app.sh: ss (iproute2) is missing" >&2; exit 2; }
gnutime=/usr/bin/time
[ -x "$gnutime" ] || gnutime="" # package "time": without it the Ghostscript peak is not measured

if [ "$#" -eq 0 ]; then
    corpus="$source_dir/tests/fidelity/corpus"
    largest=$(ls -S "$corpus"/*.ps "$corpus"/*.eps 2>/dev/null | head -n 1)
    smallest=$(ls -S "$corpus"/*.ps "$corpus"/*.eps 2>/dev/null | tail -n 1)
    [ -n "$largest" ] || { echo "bench_app.sh: no corpus in $corpus" >&2; exit 2; }
    set -- "$largest" "$smallest"
fi
for f in "$@"; do
    [ -f "$f" ] || { echo "bench_app.sh: no file $f" >&2; exit 2; }
done

work=$(mktemp -d /tmp/appbench.XXXXXX)
app_pid=""
engraver_pid=""

stop_pid() {
    # Ends one process this script started: politely, then for good.
    local pid="$1" i=0
    [ -n "$pid" ] || return 0
    kill -0 "$pid" 2> /dev/null || { wait "$pid" 2> /dev/null; return 0; }
    kill -TERM "$pid" 2> /dev/null
    while kill -0 "$pid" 2> /dev/null && [ "$i" -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
    kill -KILL "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null
    return 0
}

cleanup() {
    stop_pid "$app_pid"
    app_pid=""
    stop_pid "$engraver_pid"
    engraver_pid=""
    if [ "$keep" = 1 ]; then echo "Work folder kept: $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

port_busy() { [ -n "$(ss -ltnH "sport = :$port" 2> /dev/null)" ]; }

wait_for_port() {
    local waited=0
    while port_busy; do
        if [ $((waited % 30)) -eq 0 ]; then
            echo "  port $port is in use by another program; waiting (${waited} s)" >&2
        fi
        if [ "$waited" -ge "$port_wait_limit" ]; then
            echo "bench_app.sh: port $port stayed busy for $port_wait_limit s" >&2
            return 1
        fi
        sleep 1
        waited=$((waited + 1))
    done
}

# Milliseconds since the epoch of the application's timestamp on the first
# line after line number $2 of log $1 that contains the fixed text $3; empty
# when there is none. Prints "LINE MS".
stamp_after() {
    local log="$1" after="$2" text="$3" found line stamp
    found=$(awk -v after="$after" -v text="$text" 'NR > after && index($0, text) { print NR " " $1 " " $2; exit }' "$log")
    [ -n "$found" ] || return 0
    line=${found%% *}
    stamp=${found#* }
    echo "$line $(TZ=UTC date -d "$stamp" +%s%3N)"
}

# True when log $1 shows more than the one connection of our backend: a
# program of someone else that prints to port 55000 reached this application.
foreign_job() { [ "$(grep -cF 'INFO: "We have got something!"' "$1")" -gt 1 ]; }

# Waits until log $1 holds text $2 (fixed) or the application ends or $3
# seconds pass. Fails early on an error of the job; returns 3 when a job of
# another program came in.
wait_for_line() {
    local log="$1" text="$2" limit="$3" start
    start=$(date +%s)
    while ! grep -qF -- "$text" "$log"; do
        if foreign_job "$log"; then return 3; fi
        if ! kill -0 "$app_pid" 2> /dev/null; then
            echo "  the application ended before \"$text\"" >&2
            return 1
        fi
        if grep -qE 'ERROR:|Job Failed' "$log"; then
            echo "  the application reported an error before \"$text\":" >&2
            grep -E 'ERROR:|Job Failed' "$log" | head -n 5 >&2
            return 1
        fi
        if [ $(($(date +%s) - start)) -ge "$limit" ]; then
            echo "  no \"$text\" after $limit s" >&2
            return 1
        fi
        sleep 0.2
    done
}

proc_kb() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status" 2> /dev/null; }

# Processor time (user and system) of process $1 so far, in milliseconds.
ticks_per_second=$(getconf CLK_TCK 2> /dev/null || echo 100)
proc_cpu_ms() {
    sed -e 's/^.*) //' "/proc/$1/stat" 2> /dev/null \
        | awk -v hz="$ticks_per_second" '{ printf "%d", ($12 + $13) * 1000 / hz }'
}

start_engraver() {
    local i=0
    mkdir -p "$work/engraver"
    "$bin/vexlor-engraver" --address 127.0.0.1 --port 0 --spool "$work/engraver" > "$work/engraver.log" 2>&1 &
    engraver_pid=$!
    while [ "$i" -lt 200 ]; do
        engraver_port=$(sed -n 's/.*Listening on 127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$work/engraver.log" | head -n 1)
        [ -n "$engraver_port" ] && return 0
        kill -0 "$engraver_pid" 2> /dev/null || break
        sleep 0.1
        i=$((i + 1))
    done
    echo "bench_app.sh: the virtual engraver did not start:" >&2
    cat "$work/engraver.log" >&2
    return 1
}

# One run: filtered job $1, run folder $2. Writes $2/result with
# "name=value" lines.
run_once() {
    local job="$1" dir="$2" home="$2/home" log="$2/app.log" attempt=0
    mkdir -p "$home/Library/Vexlor"
    cat > "$home/Library/Vexlor/settings.xml" << 'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<ListStart default="0">
    <Machine name="Virtual" addr="127.0.0.1" type="0"/>
</ListStart>
EOF
    # Ghostscript through a wrapper that records the peak memory of the step.
    if [ -n "$gnutime" ]; then
        printf '#!/bin/sh\nexec %s -f "%%M %%U %%S" -o "%s/gs-peak.txt" "%s" "$@"\n' "$gnutime" "$dir" "$bin/vexlor-gs" \
            > "$dir/gs-wrapper.sh"
    else
        printf '#!/bin/sh\nexec "%s" "$@"\n' "$bin/vexlor-gs" > "$dir/gs-wrapper.sh"
    fi
    chmod 700 "$dir/gs-wrapper.sh"

    while :; do
        attempt=$((attempt + 1))
        [ "$attempt" -le 20 ] || { echo "  could not get port $port" >&2; return 1; }
        wait_for_port || return 1
        : > "$log"
        # The job file of an earlier run must not be taken for this run's.
        rm -f /tmp/GSTemp/out.prn
        # The stage lines are the workers' traces, which are off unless asked for.
        env HOME="$home" QT_QPA_PLATFORM=offscreen TZ=UTC QT_LOGGING_RULES='vexlor.*.debug=true' \
            QT_MESSAGE_PATTERN='%{time yyyy-MM-dd HH:mm:ss.zzz} %{message}' \
            VEXLOR_GS="$dir/gs-wrapper.sh" VEXLOR_ENGRAVER_PORT="${engraver_port:-515}" \
            "$app" > "$log" 2>&1 &
        app_pid=$!
        local i=0 state=""
        while [ "$i" -lt 300 ]; do
            # The listener says "Started!" after its start even when it could
            # not listen, and then it has said so first.
            if grep -qF 'INFO: "PrintListener Started!"' "$log"; then
                if grep -qF 'Unable to start the PrintListener' "$log" \
                    || ! ss -ltnpH "sport = :$port" 2> /dev/null | grep -q "pid=$app_pid,"; then
                    state=busy
                else
                    state=ok
                fi
                break
            fi
            kill -0 "$app_pid" 2> /dev/null || { state=dead; break; }
            sleep 0.1
            i=$((i + 1))
        done
        if [ "$state" = ok ]; then break; fi
        stop_pid "$app_pid"
        app_pid=""
        if [ "$state" = busy ]; then
            echo "  another program took port $port first; trying again" >&2
            sleep 2
            continue
        fi
        echo "  the application did not start listening:" >&2
        tail -n 20 "$log" >&2
        return 1
    done

    local idle_kb idle_cpu
    idle_kb=$(proc_kb "$app_pid" VmRSS)
    idle_cpu=$(proc_cpu_ms "$app_pid")
    local ready_line
    ready_line=$(grep -nF 'INFO: "PrintListener Started!"' "$log" | head -n 1 | cut -d: -f1)

    "$bin/vexlor" 1 appbench "$(basename "$job")" 1 "" "$job" 2> "$dir/backend.log"
    local backend_rc=$? backend_ms
    backend_ms=$(date +%s%3N)
    if [ "$backend_rc" -ne 0 ]; then
        echo "  the backend failed ($backend_rc):" >&2
        cat "$dir/backend.log" >&2
        return 1
    fi

    wait_for_line "$log" 'INFO: "Finished PCL Generation."' "$job_limit" || return $?
    # out.prn is written right after that line; its size is logged just before.
    local expected size i=0
    expected=$(sed -n 's/.*INFO: "In the PCL there were \([0-9]*\) bytes".*/\1/p' "$log" | tail -n 1)
    local out=/tmp/GSTemp/out.prn
    while [ "$i" -lt 600 ]; do
        if [ -n "$expected" ] && [ -f "$out" ]; then
            size=$(stat -c %s "$out")
            if [ "$size" = "$expected" ]; then break; fi
        fi
        sleep 0.1
        i=$((i + 1))
    done
    [ "${size:-}" = "$expected" ] || { echo "  $out was not written ($expected bytes expected)" >&2; return 1; }
    local out_ms
    out_ms=$(stat -c %.3Y "$out" | tr -d .)

    local sent_ms=""
    if [ "$send" = 1 ]; then
        wait_for_line "$log" 'INFO: "End of print job"' "$job_limit" || return $?
        sent_ms=$(stamp_after "$log" 0 'INFO: "End of print job"')
        sent_ms=${sent_ms#* }
    fi

    local peak_kb busy_cpu
    peak_kb=$(proc_kb "$app_pid" VmHWM)
    busy_cpu=$(proc_cpu_ms "$app_pid")
    stop_pid "$app_pid"
    app_pid=""
    if foreign_job "$log"; then return 3; fi

    # Stage boundaries, each searched after the one before.
    local eof parsed gs_start gs_end items preview dithered finished stage
    eof=$(stamp_after "$log" "$ready_line" 'INFO: "%%EOF Found!"')
    [ -n "$eof" ] || { echo "  no \"%%EOF Found!\" in the log" >&2; return 1; }
    parsed=$(stamp_after "$log" "${eof%% *}" 'INFO: "Writing options to:')
    gs_start=$(stamp_after "$log" "${parsed%% *}" 'Starting GS...')
    gs_end=$(stamp_after "$log" "${gs_start%% *}" 'GS exited with code:')
    items=$(stamp_after "$log" "${gs_end%% *}" 'INFO: "graphics items recived"')
    preview=$(stamp_after "$log" "${items%% *}" 'Children in update:')
    dithered=$(stamp_after "$log" "${preview%% *}" 'INFO: "Starting PCL Generation."')
    finished=$(stamp_after "$log" "${dithered%% *}" 'INFO: "Finished PCL Generation."')
    for v in parsed gs_start gs_end items preview dithered finished; do
        eval "stage=\${$v:-}"
        [ -n "$stage" ] || { echo "  a stage line is missing from the log ($v)" >&2; return 1; }
    done
    local t0="${eof#* }"
    {
        echo "turnaround=$((out_ms - t0))"
        echo "backend_exit=$((backend_ms - t0))"
        echo "options=$((${gs_start#* } - t0))"
        echo "ghostscript=$((${gs_end#* } - ${gs_start#* }))"
        echo "scene=$((${items#* } - ${gs_end#* }))"
        echo "preview=$((${preview#* } - ${items#* }))"
        echo "dither=$((${dithered#* } - ${preview#* }))"
        echo "generate=$((${finished#* } - ${dithered#* }))"
        echo "write=$((out_ms - ${finished#* }))"
        [ -z "$sent_ms" ] || echo "send=$((sent_ms - out_ms))"
        echo "peak_mib=$(awk -v k="$peak_kb" 'BEGIN { printf "%.1f", k / 1024 }')"
        echo "idle_mib=$(awk -v k="$idle_kb" 'BEGIN { printf "%.1f", k / 1024 }')"
        echo "app_cpu=$((busy_cpu - idle_cpu))"
        if [ -s "$dir/gs-peak.txt" ]; then
            # the last line: peak kilobytes, user and system seconds
            awk 'NF == 3 && $1 ~ /^[0-9]+$/ { k = $1; c = ($2 + $3) * 1000 }
                 END { printf "gs_peak_mib=%.1f\ngs_cpu=%d\n", k / 1024, c }' "$dir/gs-peak.txt"
        fi
        echo "job_bytes=$expected"
        echo "items=$(sed -n 's/.*Sending \([0-9]*\) items.*/\1/p' "$log" | head -n 1)"
        echo "load=$(cut -d' ' -f1 /proc/loadavg)"
    } > "$dir/result"
}

value() { sed -n "s/^$2=//p" "$1"; }

# "median (min-max)" of the numbers on standard input.
summary() {
    sort -n | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "-"; exit }
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        if (NR == 1) print m; else print m " (" v[1] "-" v[NR] ")" }'
}

if [ "$send" = 1 ]; then start_engraver || exit 1; fi

case "$job_type" in '' | *[!a-z]*) echo "bench_app.sh: -t wants a job type such as combo, raster or vector" >&2; exit 2 ;; esac
filter_options="-o cResolution=$dpi -o JobType=$job_type"
case "$dithering" in *[!a-z]*) echo "bench_app.sh: -d wants a dithering method such as floyd" >&2; exit 2 ;; esac
[ -z "$dithering" ] || filter_options="$filter_options -o dithering=$dithering"
[ "$send" = 0 ] || filter_options="$filter_options -o directPrint=enabled"

echo "VexlorApp job turnaround: $runs runs per file, ${dpi} dpi, JobType=$job_type$([ "$send" = 1 ] && echo ', sent to a virtual engraver')"
echo "Machine: $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
status=0
table="$work/table.md"
resources="$work/resources.md"
{
    echo "| File | Bytes | Items | Job (bytes) | Turnaround (ms) | Options | Ghostscript | Scene | Preview | Dither | Generate | Write |$([ "$send" = 1 ] && echo ' Send |')"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|$([ "$send" = 1 ] && echo '---|')"
} > "$table"
{
    echo "| File | App processor (ms) | Ghostscript processor (ms) | App peak (MiB) | App idle (MiB) | Ghostscript peak (MiB) |"
    echo "|---|---|---|---|---|---|"
} > "$resources"

for file in "$@"; do
    name=$(basename "$file")
    fdir="$work/$name"
    mkdir -p "$fdir"
    filtered="$fdir/$name.filtered.ps"
    # shellcheck disable=SC2086 # the options are words without blanks
    if ! cupsfilter -p "$ppd" -m application/vnd.cups-postscript $filter_options "$file" \
        > "$filtered" 2> "$fdir/cupsfilter.log"; then
        echo "bench_app.sh: cupsfilter failed on $file:" >&2
        cat "$fdir/cupsfilter.log" >&2
        status=1
        continue
    fi
    echo "$name ($(stat -c %s "$file") bytes, $(stat -c %s "$filtered") bytes filtered)"
    ok=0
    for r in $(seq 1 "$runs"); do
        rdir="$fdir/run$r"
        mkdir -p "$rdir"
        tries=0
        while :; do
            run_once "$filtered" "$rdir"
            rc=$?
            [ "$rc" = 3 ] || break
            stop_pid "$app_pid"
            app_pid=""
            tries=$((tries + 1))
            [ "$tries" -lt 5 ] || { echo "  run $r: other programs kept printing to port $port" >&2; rc=1; break; }
            echo "  run $r: a job of another program reached the application; the run is repeated" >&2
            rm -rf "$rdir"
            mkdir -p "$rdir"
            sleep 5
        done
        if [ "$rc" = 0 ]; then
            ok=$((ok + 1))
            printf '  run %d: turnaround %s ms (options %s, Ghostscript %s, scene %s, preview %s, dither %s, generate %s, write %s%s), processor: app %s ms, Ghostscript %s ms; peak: app %s MiB, Ghostscript %s MiB; load %s\n' \
                "$r" "$(value "$rdir/result" turnaround)" "$(value "$rdir/result" options)" \
                "$(value "$rdir/result" ghostscript)" "$(value "$rdir/result" scene)" \
                "$(value "$rdir/result" preview)" "$(value "$rdir/result" dither)" \
                "$(value "$rdir/result" generate)" "$(value "$rdir/result" write)" \
                "$([ "$send" = 1 ] && echo ", send $(value "$rdir/result" send)")" \
                "$(value "$rdir/result" app_cpu)" "$(value "$rdir/result" gs_cpu)" \
                "$(value "$rdir/result" peak_mib)" "$(value "$rdir/result" gs_peak_mib)" \
                "$(value "$rdir/result" load)"
        else
            echo "  run $r failed (log: $rdir/app.log)" >&2
            status=1
            stop_pid "$app_pid"
            app_pid=""
            keep=1
        fi
    done
    [ "$ok" -gt 0 ] || continue
    col() { for rf in "$fdir"/run*/result; do [ -f "$rf" ] && value "$rf" "$1"; done | summary; }
    first=$(ls "$fdir"/run*/result | head -n 1)
    row="| $name | $(stat -c %s "$file") | $(value "$first" items) | $(value "$first" job_bytes) | $(col turnaround) | $(col options) | $(col ghostscript) | $(col scene) | $(col preview) | $(col dither) | $(col generate) | $(col write) |"
    [ "$send" = 0 ] || row="$row $(col send) |"
    echo "$row" >> "$table"
    echo "| $name | $(col app_cpu) | $(col gs_cpu) | $(col peak_mib) | $(col idle_mib) | $(col gs_peak_mib) |" >> "$resources"
done

echo
echo "Median (min-max) over the runs, times in milliseconds:"
{
    cat "$table"
    echo
    cat "$resources"
} > "$work/summary.md"
cat "$work/summary.md"
[ -z "$markdown" ] || cp "$work/summary.md" "$markdown"
exit $status

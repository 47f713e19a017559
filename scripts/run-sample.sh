#!/bin/sh
# Set up and run: installs what is missing, builds, starts VexlorApp (offscreen
# when there is no display) with a virtual engraver, prints the bundled sample
# job through the print system's filter and the engraver queue's backend, and
# says where the job's files are.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VEXLOR_BUILD_DIR:-$root/build}
sample=${1:-$root/samples/sample.ps}
[ -r "$sample" ] || { echo "run-sample.sh: cannot read $sample"; exit 1; }
step() { echo "==> $*"; }

step "Checking the Debian packages it needs (scripts/packages.txt)"
"$root/scripts/setup.sh"
step "Configuring the build in $build"
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build/configure.log" 2>&1 \
    || { cat "$build/configure.log"; exit 1; }
# Only the programs of the sample: the application, its Ghostscript device,
# the queue's backend and the virtual engraver. scripts/build.sh builds all.
step "Building VexlorApp, vexlor-gs, the backend vexlor and vexlor-engraver"
cmake --build "$build" --parallel "$(nproc)" --target VexlorApp vexlor-gs vexlor vexlor-engraver
bin="$build/bin"

work=$(mktemp -d /tmp/vexlor-run.XXXXXX)
port=${VEXLOR_ENGRAVER_PORT:-5515}
mkdir -p "$work/home/Library/Vexlor" "$work/engraver"
# An engraver list that selects the virtual engraver on this machine.
cat > "$work/home/Library/Vexlor/settings.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<ListStart default="0">
    <Machine name="Virtual engraver" addr="127.0.0.1" type="0"/>
</ListStart>
XML

cleanup() {
    [ -n "${app_pid:-}" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null || true
    [ -n "${engraver_pid:-}" ] && kill "$engraver_pid" 2>/dev/null && wait "$engraver_pid" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

step "Starting a virtual engraver on port $port and VexlorApp"
"$bin/vexlor-engraver" --address 127.0.0.1 --port "$port" --spool "$work/engraver" \
    > "$work/engraver.log" 2>&1 &
engraver_pid=$!

[ -z "${DISPLAY:-}" ] && export QT_QPA_PLATFORM=offscreen
HOME="$work/home" VEXLOR_ENGRAVER_PORT="$port" "$bin/VexlorApp" > "$work/app.log" 2>&1 &
app_pid=$!

i=0
until grep -q 'PrintListener Started!' "$work/app.log" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt 200 ] || ! kill -0 "$app_pid" 2>/dev/null; then
        echo "VexlorApp did not start; see $work/app.log"; exit 1
    fi
    sleep 0.1
done
if grep -q 'Unable to start the PrintListener' "$work/app.log"; then
    echo "VexlorApp cannot listen on 127.0.0.1:55000: another program holds the port."
    ss -ltnp 2>/dev/null | grep ':55000 ' || true
    exit 1
fi

step "Printing $(basename "$sample") through the queue's filter and backend"
# The job as a queue would deliver it: filtered with the engraver's PPD, the
# chosen options written into it, then handed to the queue's backend.
cupsfilter -p "$build/share/vexlor.ppd" -m application/vnd.cups-postscript \
    -o directPrint=enabled "$sample" > "$work/job.ps" 2> "$work/cupsfilter.log"
"$bin/vexlor" 1 "${USER:-$(id -un)}" "$(basename "$sample")" 1 "" "$work/job.ps" 2> "$work/backend.log"

step "Waiting for the job to be engraved"
i=0
while [ $i -lt 120 ]; do
    if ls "$work/engraver"/*/summary.txt >/dev/null 2>&1; then break; fi
    if ! kill -0 "$app_pid" 2>/dev/null; then echo "VexlorApp stopped; see $work/app.log"; exit 1; fi
    sleep 1
    i=$((i + 1))
done
kill "$app_pid"; wait "$app_pid" 2>/dev/null || true; app_pid=""

echo
echo "Spool file of the job:     $(ls -t /tmp/PSLib/*.txt 2>/dev/null | head -1)"
echo "Options file of the job:   $(ls -t /tmp/XMLLib/*.xml 2>/dev/null | head -1)"
echo "Page description:          /tmp/GSTemp/o.xml"
echo "Engraver job:              /tmp/GSTemp/out.prn"
echo "Application log:           $work/app.log"
echo "Virtual engraver's store:  $work/engraver"
for f in "$work/engraver"/*/job.png "$work/engraver"/*/summary.txt; do
    [ -e "$f" ] && echo "  $f"
done
summary=$(ls "$work/engraver"/*/summary.txt 2>/dev/null | head -1)
[ -n "$summary" ] && { echo; cat "$summary"; }
grep -c ' INFO: ' "$work/app.log" | sed 's/^/INFO lines in the log:     /'

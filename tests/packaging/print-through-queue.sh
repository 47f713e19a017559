#!/bin/sh
# The package as a user meets it: unpacked where dpkg puts it, the engraver
# queue made with the README's lpadmin command, a PDF printed with lp, and the
# job engraved by a virtual engraver, byte for byte the engraver job that
# VexlorApp wrote. Everything runs in private mount and network namespaces
# (root only), so the system's CUPS, /etc, /tmp and ports are untouched.
# Usage: print-through-queue.sh BUILD_DIR SOURCE_DIR. Exit code 77: skipped.
set -eu
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
if [ "$(id -u)" -ne 0 ] || ! command -v unshare > /dev/null || [ ! -x /usr/sbin/cupsd ]; then
    echo "SKIP: needs root, unshare and cupsd"
    exit 77
fi
if [ -z "${VEXLOR_IN_NAMESPACE:-}" ]; then
    # Not in /tmp: the namespace gets a /tmp of its own.
    # cpack packs what is built (with Ninja it builds nothing itself).
    cmake --build "$build" --target VexlorApp vexlor-gs vexlor vexlor-options vexlor-engraver vexlor-manpages \
        > "${TMPDIR:-/tmp}/vexlor-package-build.$$.log" 2>&1 \
        || { cat "${TMPDIR:-/tmp}/vexlor-package-build.$$.log"; echo "FAIL: the programs do not build"; exit 1; }
    rm -f "${TMPDIR:-/tmp}/vexlor-package-build.$$.log"
    work=$(mktemp -d "$build/package-queue.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    (cd "$build" && cpack -G DEB -B "$work" > "$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
    deb=$(ls "$work"/vexlor_*.deb)
    cp "$deb" "$work/package.deb"
    if ! unshare -mn true 2> /dev/null; then
        echo "SKIP: no private namespaces here"
        exit 77
    fi
    status=0
    VEXLOR_IN_NAMESPACE=1 unshare -mn sh "$0" "$build" "$source" "$work/package.deb" || status=$?
    exit $status
fi

deb=$3
fail() {
    echo "FAIL: $*"
    for log in /tmp/engraver/*/summary.txt /tmp/app.log /tmp/engraver.log /var/log/cups/error_log; do
        [ -f "$log" ] && { echo "--- $log"; tail -n 30 "$log"; }
    done
    exit 1
}
ip link set lo up
mount -t tmpfs tmpfs /tmp
mkdir -p /tmp/root /tmp/backend /tmp/etc
dpkg-deb -x "$deb" /tmp/root
# What dpkg installs, seen only inside this namespace: the PPD folder, the
# backend among the system's, and a scheduler with its own state.
mount --bind /tmp/root/usr/share/ppd /usr/share/ppd
cp -a /usr/lib/cups/backend/. /tmp/backend/
cp -a /tmp/root/usr/lib/cups/backend/vexlor /tmp/backend/
mount --bind /tmp/backend /usr/lib/cups/backend
cp -a /etc/cups/. /tmp/etc/
mount --bind /tmp/etc /etc/cups
for d in /run/cups /var/spool/cups /var/cache/cups /var/log/cups; do
    mkdir -p "$d"
    mount -t tmpfs tmpfs "$d"
done
chown root:lp /var/spool/cups /var/cache/cups
chmod 0710 /var/spool/cups
chmod 0770 /var/cache/cups
mkdir -p /var/spool/cups/tmp
chown root:lp /var/spool/cups/tmp
chmod 1770 /var/spool/cups/tmp
/usr/sbin/cupsd -f > /tmp/cupsd.out 2>&1 &
cupsd_pid=$!
mkdir -p /tmp/home/Library/Vexlor /tmp/engraver
engraver_pid=""
app_pid=""
trap 'for p in $app_pid $engraver_pid $cupsd_pid; do kill "$p" 2> /dev/null; done; wait' EXIT
i=0
until [ -S /run/cups/cups.sock ]; do
    i=$((i + 1))
    [ $i -lt 100 ] || fail "cupsd did not start"
    sleep 0.1
done

lpinfo -m | grep -qx 'lsb/usr/vexlor/vexlor.ppd Vexlor Engraver' || fail "lpinfo -m does not list the PPD"
lpinfo -v | grep -q '^network vexlor://' || fail "lpinfo -v does not list the backend"
# The README's command, word for word.
command=$(sed -n 's/^ *\(sudo \)\{0,1\}\(lpadmin -p engraver .*-m lsb\/usr\/vexlor\/vexlor\.ppd.*\)$/\2/p' \
    "$source/README.md" | head -n 1)
[ -n "$command" ] || fail "the README has no lpadmin command with the installed PPD"
eval "$command" 2> /tmp/lpadmin.err || fail "$command: $(cat /tmp/lpadmin.err)"
lpstat -v engraver | grep -q 'vexlor://127.0.0.1:55000' || fail "the queue has not the backend's address"

cat > /tmp/home/Library/Vexlor/settings.xml << XML
<?xml version="1.0" encoding="UTF-8"?>
<ListStart default="0">
    <Machine name="Virtual engraver" addr="127.0.0.1" type="0"/>
</ListStart>
XML
/tmp/root/usr/bin/vexlor-engraver --spool /tmp/engraver > /tmp/engraver.log 2>&1 &
engraver_pid=$!
HOME=/tmp/home QT_QPA_PLATFORM=offscreen /tmp/root/usr/bin/VexlorApp > /tmp/app.log 2>&1 &
app_pid=$!
i=0
until grep -q 'PrintListener Started' /tmp/app.log; do
    i=$((i + 1))
    [ $i -lt 300 ] || fail "VexlorApp did not start"
    sleep 0.1
done

ps2pdf "$source/samples/sample.ps" /tmp/sample.pdf
lp -d engraver -t "Queue test" -o directPrint=enabled /tmp/sample.pdf > /dev/null || fail "lp refused the job"
i=0
until ls /tmp/engraver/*/summary.txt > /dev/null 2>&1; do
    i=$((i + 1))
    [ $i -lt 300 ] || fail "no job reached the engraver"
    sleep 1
done
summary=$(cat /tmp/engraver/*/summary.txt)
echo "$summary" | grep -q '^Engraver stream: read completely$' || fail "the engraver could not read the job"
echo "$summary" | grep -q '^PJL job name: Queue test$' || fail "the job's title did not come through"
# The sample's cut lines stay vectors through the PDF.
echo "$summary" | grep -q '^Vectors: [1-9][0-9]* points$' || fail "the PDF's lines did not arrive as vectors"
cmp /tmp/engraver/*/job.prn /tmp/GSTemp/out.prn || fail "the engraved job differs from out.prn"
lpstat -W completed -o engraver | grep -q '^engraver-1 ' || fail "CUPS does not call the job completed"
grep -q '^ERROR:\| ERROR: ' /tmp/app.log && fail "VexlorApp logged an error"
echo "The package's queue printed a PDF: $(stat -c %s /tmp/GSTemp/out.prn) bytes engraved, equal to out.prn"

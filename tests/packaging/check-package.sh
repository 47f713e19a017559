#!/bin/sh
# Builds the Debian package from a build folder with cpack, unpacks it into a
# scratch root and checks what a user gets: every file where Debian and CUPS
# look for it, with its owner and mode, nothing else; the declared
# dependencies; working programs, manual pages and desktop entries.
# Usage: check-package.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
work=$(mktemp -d "${TMPDIR:-/tmp}/vexlor-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

echo "Building the package (cpack -G DEB) from $build"
# cpack packs what is built (with Ninja it builds nothing itself).
cmake --build "$build" --target VexlorApp vexlor-gs vexlor vexlor-options vexlor-engraver vexlor-manpages \
    > "${TMPDIR:-/tmp}/vexlor-package-build.$$.log" 2>&1 \
    || { cat "${TMPDIR:-/tmp}/vexlor-package-build.$$.log"; echo "FAIL: the programs do not build"; exit 1; }
rm -f "${TMPDIR:-/tmp}/vexlor-package-build.$$.log"
if ! (cd "$build" && cpack -G DEB -B "$work/out" > "$work/cpack.log" 2>&1); then
    cat "$work/cpack.log"
    echo "FAIL: cpack did not make the package"
    exit 1
fi
deb="$work/out/vexlor_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { ls "$work/out"; echo "FAIL: no $deb"; exit 1; }

# Files, modes and owners, as dpkg will install them.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort -k3 > "$work/files"
sort -k3 > "$work/expected" <<LIST
-rwxr-xr-x root/root ./usr/bin/VexlorApp
-rwxr-xr-x root/root ./usr/bin/vexlor-engraver
-rwxr-xr-x root/root ./usr/bin/vexlor-gs
-rwxr-xr-x root/root ./usr/bin/vexlor-options
-rwxr-xr-x root/root ./usr/lib/cups/backend/vexlor
-rw-r--r-- root/root ./usr/share/ppd/vexlor/vexlor.ppd
-rw-r--r-- root/root ./usr/share/applications/vexlorapp.desktop
-rw-r--r-- root/root ./etc/xdg/autostart/vexlorapp.desktop
-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/vexlorapp.svg
-rw-r--r-- root/root ./usr/share/icons/hicolor/48x48/apps/vexlorapp.png
-rw-r--r-- root/root ./usr/share/icons/hicolor/128x128/apps/vexlorapp.png
-rw-r--r-- root/root ./usr/share/icons/hicolor/256x256/apps/vexlorapp.png
-rw-r--r-- root/root ./usr/share/man/man1/VexlorApp.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/vexlor-options.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/vexlor-gs.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/vexlor-engraver.1.gz
-rw-r--r-- root/root ./usr/share/man/man8/vexlor.8.gz
-rw-r--r-- root/root ./usr/share/doc/vexlor/README.md
LIST
# The user guides come along; which ones is the docs folder's business.
grep -v '^-rw-r--r-- root/root ./usr/share/doc/vexlor/docs/[a-z-]*\.md$' "$work/files" > "$work/files.core"
if ! diff -u "$work/expected" "$work/files.core"; then
    fail "the package's files differ from the list above (- missing or other mode, + unexpected)"
fi
grep -q ' ./usr/share/doc/vexlor/docs/cups.md$' "$work/files" || fail "the queue guide is missing"

# Declared dependencies: the programs run by the application and the queue,
# and the Qt libraries found by dpkg-shlibdeps.
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in ghostscript poppler-utils cups cups-filters libqt5widgets5 libqt5network5 libcups2; do
    echo "$depends" | tr ',' '\n' | grep -q "^ *$dependency\( \|$\)" || fail "Depends lacks $dependency: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = vexlor ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
dpkg-deb -e "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = /etc/xdg/autostart/vexlorapp.desktop ] \
    || fail "the autostart entry is not a conffile"
for script in postinst postrm; do
    sh -n "$work/control/$script" || fail "$script is no valid shell script"
done

# The unpacked programs run from where dpkg puts them.
dpkg-deb -x "$deb" "$work/root"
root="$work/root"
for program in usr/bin/VexlorApp usr/bin/vexlor-options usr/bin/vexlor-engraver usr/lib/cups/backend/vexlor; do
    name=$(basename "$program")
    out=$(env -u DISPLAY -u QT_QPA_PLATFORM "$root/$program" --version 2>&1) || fail "$name --version failed: $out"
    [ "$out" = "$name $version" ] || fail "$name --version says \"$out\""
done
discovery=$("$root/usr/lib/cups/backend/vexlor")
case "$discovery" in
'network vexlor://127.0.0.1'*' "Vexlor Engraver"'*) ;;
*) fail "the backend's device line is \"$discovery\"" ;;
esac
if command -v cupstestppd > /dev/null; then
    cupstestppd -q "$root/usr/share/ppd/vexlor/vexlor.ppd" || fail "cupstestppd refuses the installed PPD"
fi

# Desktop entries: valid, starting the installed program with the installed
# icon; the start at login can be turned off.
for entry in usr/share/applications/vexlorapp.desktop etc/xdg/autostart/vexlorapp.desktop; do
    if command -v desktop-file-validate > /dev/null; then
        desktop-file-validate "$root/$entry" || fail "$entry is not a valid desktop entry"
    fi
    grep -qx 'Exec=VexlorApp' "$root/$entry" || fail "$entry does not start VexlorApp"
    grep -qx 'Icon=vexlorapp' "$root/$entry" || fail "$entry has not the package's icon"
done
grep -qx 'X-GNOME-Autostart-enabled=true' "$root/etc/xdg/autostart/vexlorapp.desktop" \
    || fail "the autostart entry cannot be switched off in the desktop's settings"
grep -q '^Categories=.*Graphics;' "$root/usr/share/applications/vexlorapp.desktop" \
    || fail "the menu entry has no menu category"

# Manual pages: compressed, formatted without warnings, with the version.
for page in "$root"/usr/share/man/man*/*.gz; do
    gzip -t "$page" || fail "$page is not gzip"
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2> "$work/man.err") \
        || fail "$page does not format"
    [ ! -s "$work/man.err" ] || { cat "$work/man.err"; fail "$page formats with warnings"; }
    echo "$text" | grep -q "Vexlor $version" || fail "$page does not name version $version"
    echo "$text" | grep -q "^NAME" || fail "$page has no NAME section"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "The package $(basename "$deb") ($(stat -c %s "$deb") bytes) holds $(wc -l < "$work/files") files, all as expected"

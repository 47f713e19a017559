#!/bin/sh
# Makes the fidelity corpus: PostScript written by real programs from Debian's
# packages (groff, enscript, gnuplot, ImageMagick, rsvg-convert, pdftops,
# cairo through python3-cairo, CUPS's filters) from the sources beside this
# script. The files are kept in corpus/ so that the test
# does not depend on the versions of these programs; run this script again
# after changing a source.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src="$here/sources"
out="${1:-$here/corpus}"
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# groff: a manual page, and a report with a table and a pic drawing
groff -man -Tps -P-pletter "$src/vexlor-job.1" > "$out/groff-man.ps"
groff -ms -t -p -Tps -P-pa4 "$src/report.ms" > "$out/groff-report.ps"

# enscript: coloured source code in two rotated columns, and plain text with a fancy header
enscript -q -2 -r --color -Ec --media=A4 -G -o "$out/enscript-code.ps" "$src/beam.c"
enscript -q --media=Letter -G -o "$out/enscript-notes.ps" "$src/notes.txt"

# gnuplot: lines, points and dashes (postscript terminal), a pm3d map, cairo histograms with fill patterns
(cd "$tmp" && gnuplot -e "set output '$out/gnuplot-lines.eps'" "$src/lines.gp")
(cd "$tmp" && gnuplot -e "set output '$out/gnuplot-map.ps'" "$src/map.gp")
(cd "$tmp" && gnuplot -e "set output '$out/gnuplot-cairo.eps'" "$src/bars.gp")

# ImageMagick: grey, RGB, CMYK, bilevel and palette images in its PostScript
# writers (level 1 "epsf", level 2 "eps2", level 3 "eps3"; Debian's policy
# leaves only these EPS writers open)
convert -size 300x200 gradient:black-white -rotate 90 -depth 8 -colorspace Gray eps2:"$out/im-gray.eps"
convert rose: -resize 300% -depth 8 eps3:"$out/im-rgb.eps"
convert rose: -resize 250% -colorspace CMYK -depth 8 eps2:"$out/im-cmyk.eps"
convert -size 240x160 pattern:checkerboard -monochrome eps2:"$out/im-bilevel.eps"
convert logo: -resize 50% -colors 16 -depth 8 epsf:"$out/im-palette.eps"
convert -size 64x64 -seed 7 plasma:fractal -resize 128x128 -depth 8 -type TrueColor epsf:"$out/im-level1.eps"

# rsvg-convert (cairo): curves, joins, dashes, fill rules, nested clips, text in several fonts, placed images
rsvg-convert -f ps -o "$out/cairo-shapes.ps" "$src/shapes.svg"
rsvg-convert -f ps -o "$out/cairo-text.ps" "$src/text.svg"
convert rose: "$tmp/rose.png"
convert -size 64x48 gradient:"#2040ff"-"#ffd020" "$tmp/gradient.png"
convert logo: -resize 40% "$tmp/logo.png"
convert -size 16x16 pattern:checkerboard -monochrome "$tmp/checker.png"
sed -e "s|@ROSE@|$(base64 -w0 "$tmp/rose.png")|g" \
    -e "s|@GRADIENT@|$(base64 -w0 "$tmp/gradient.png")|g" \
    -e "s|@LOGO@|$(base64 -w0 "$tmp/logo.png")|g" \
    -e "s|@CHECKER@|$(base64 -w0 "$tmp/checker.png")|g" \
    "$src/images.svg.in" > "$tmp/images.svg"
rsvg-convert -f ps -o "$out/cairo-images.ps" "$tmp/images.svg"
# poppler's pdftops, as CUPS prints a PDF: the same drawings through PDF
rsvg-convert -f pdf -o "$tmp/shapes.pdf" "$src/shapes.svg"
pdftops "$tmp/shapes.pdf" "$out/poppler-shapes.ps"
rsvg-convert -f pdf -o "$tmp/text.pdf" "$src/text.svg"
pdftops "$tmp/text.pdf" "$out/poppler-text.ps"
# a job as the print system hands it to the application: the manual page
# through CUPS's pstops filter with the engraver queue's PPD
cupsfilter -p "$here/../../tools/ppd/vexlor.ppd" -m application/vnd.cups-postscript \
    "$out/groff-man.ps" > "$out/cups-groff-man.ps" 2> /dev/null
# documents drawn with cairo as desktop programs print them: PDFs through
# the print system's own filter path for PDF (pdftops, then pstops, with
# the engraver queue's PPD), and cairo's own PostScript for gradients, a
# soft-masked photo and a page larger than the table
convert rose: -resize 800% "$tmp/photo.png"
/usr/bin/python3 "$src/documents.py" "$tmp" "$tmp/photo.png"
for doc in gradients softmask multipage segments photo lighttones; do
    cupsfilter -p "$here/../../tools/ppd/vexlor.ppd" -m application/vnd.cups-postscript \
        -o pdftops-renderer=pdftops -o print-scaling=none -o position=top-left -o nopdfAutoRotate \
        "$tmp/$doc.pdf" > "$out/pdf-$doc.ps" 2> /dev/null
done
cp "$tmp/cairo-gradients.ps" "$tmp/cairo-softmask.ps" "$tmp/cairo-poster.ps" "$out/"
ls -l "$out"

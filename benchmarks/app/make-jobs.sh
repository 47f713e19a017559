#!/bin/sh
# Writes the large print jobs of the benchmarks into a folder:
#
#   photo.ps          a 2000 x 1400 grey photo-like picture (smooth shading with
#                     grain) scaled over the whole 40 x 28 inch table;
#   lines-N.ps        N straight line segments of 0.72 pt over the whole table,
#                     ten segments to a stroked path (N/10 paths), in a fixed
#                     pseudo-random order, for each N given.
#
# Usage: make-jobs.sh FOLDER [N...]   (default N: 1000 10000 100000 1000000)
set -eu

out=${1:?usage: make-jobs.sh FOLDER [N...]}
shift
[ "$#" -gt 0 ] || set -- 1000 10000 100000 1000000
mkdir -p "$out"

# The table is 40 x 28 inches: 2880 x 2016 points.
if [ ! -s "$out/photo.ps" ]; then
    {
        echo '%!PS-Adobe-3.0'
        echo '%%BoundingBox: 0 0 2880 2016'
        echo '%%Title: (Table photo)'
        echo '%%Pages: 1'
        echo '%%EndComments'
        echo '%%Page: 1 1'
        echo '<< /PageSize [2880 2016] >> setpagedevice'
        echo '2880 2016 scale'
        echo '2000 1400 8 [2000 0 0 -1400 0 1400] currentfile /ASCIIHexDecode filter image'
        awk 'BEGIN {
            w = 2000; h = 1400; seed = 12345
            for (y = 0; y < h; y++) {
                line = ""
                for (x = 0; x < w; x++) {
                    seed = (seed * 1103515245 + 12345) % 2147483648
                    g = 128 + 90 * sin(x / 61.0) * cos(y / 47.0) + 30 * sin((x + y) / 13.0) + (seed % 41) - 20
                    if (g < 0) g = 0
                    if (g > 255) g = 255
                    line = line sprintf("%02x", int(g))
                    if (length(line) >= 200) { print line; line = "" }
                }
                if (line != "") print line
            }
        }'
        echo '>'
        echo 'showpage'
        echo '%%EOF'
    } > "$out/photo.ps.part"
    mv "$out/photo.ps.part" "$out/photo.ps"
fi

for n in "$@"; do
    f="$out/lines-$n.ps"
    [ -s "$f" ] && continue
    {
        echo '%!PS-Adobe-3.0'
        echo '%%BoundingBox: 0 0 2880 2016'
        echo "%%Title: ($n line segments)"
        echo '%%Pages: 1'
        echo '%%EndComments'
        echo '%%Page: 1 1'
        echo '<< /PageSize [2880 2016] >> setpagedevice'
        echo '0.72 setlinewidth 0.9 0.1 0.1 setrgbcolor'
        echo '/m { moveto } bind def /l { lineto } bind def /s { stroke } bind def'
        awk -v n="$n" 'BEGIN {
            seed = 4242
            for (i = 0; i < n / 10; i++) {
                seed = (seed * 1103515245 + 12345) % 2147483648; x = 36 + seed % 2800
                seed = (seed * 1103515245 + 12345) % 2147483648; y = 36 + seed % 1940
                printf "%d %d m", x, y
                for (k = 0; k < 10; k++) {
                    seed = (seed * 1103515245 + 12345) % 2147483648; x += seed % 41 - 20
                    seed = (seed * 1103515245 + 12345) % 2147483648; y += seed % 41 - 20
                    if (x < 1) x = 1; if (x > 2879) x = 2879
                    if (y < 1) y = 1; if (y > 2015) y = 2015
                    printf " %d %d l", x, y
                }
                print " s"
            }
        }'
        echo 'showpage'
        echo '%%EOF'
    } > "$f.part"
    mv "$f.part" "$f"
done

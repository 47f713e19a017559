set terminal epscairo enhanced color font "DejaVu Sans,10" size 5in,3.5in
set title "Jobs per day"
set style data histograms
set style fill pattern 2 border -1
set boxwidth 0.8
set yrange [0:*]
set key left top
plot '-' using 2:xtic(1) title "raster", '-' using 2 title "vector"
Mon 12
Tue 18
Wed 9
Thu 22
Fri 15
e
Mon 7
Tue 4
Wed 11
Thu 6
Fri 9
e

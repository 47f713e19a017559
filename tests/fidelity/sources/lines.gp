set terminal postscript eps enhanced color dashed lw 1.5 "Helvetica" 14
set title "Cut depth against speed"
set xlabel "Speed (%)"
set ylabel "Depth (mm)"
set key top right box
set grid
set xrange [0:100]
set samples 60
plot 3*exp(-x/30) title "plywood" with lines lt 1, \
     2*exp(-x/25) title "acrylic" with linespoints lt 2 pt 7, \
     1.2*exp(-x/40)+0.1*sin(x/5) title "leather" with lines lt 3 dt 2, \
     '-' title "measured" with points pt 4 ps 1.5
10 2.2
30 1.2
50 0.6
70 0.3
90 0.15
e

set terminal postscript landscape color "Times-Roman" 12
set title "Power density on the table"
set view map
set pm3d at b
set palette rgbformulae 33,13,10
set isosamples 30,30
set xrange [-2:2]
set yrange [-2:2]
unset surface
splot exp(-x*x-y*y)*cos(2*x) title ""

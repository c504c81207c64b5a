# The gateway benchmark's plot, from the data file bench/gate_report.py writes.
# usage: gnuplot -e "dir='bench/plots'" bench/gateway.gp
if (!exists("dir")) dir = 'bench/plots'

set terminal svg size 1000,460 dynamic font "sans,11" background rgb "white"
set output dir.'/gateway.svg'
set datafile separator "\t"
set datafile missing "?"
set multiplot layout 1,2 title "kelgate, 4 live stations + 1 switched off, 19200 baud, clients reading every 100 ms"
set xlabel "live clients"
set xtics (4, 8, 16)
set logscale x 2
set xrange [3:20]
set grid
set key top left

# Columns: live, then per mode (reference, pass, health, scan) answers/s,
# latency median and p99.
set title "live clients' answers per second"
set ylabel "answers/s"
set yrange [0.1:10000]
set logscale y
plot dir.'/gateway.dat' using 1:2 with linespoints lw 2 pt 7 lc rgb "#636363" title "reference (silent not polled)", \
     '' using 1:5 with linespoints lw 2 pt 7 lc rgb "#e6550d" title "pass-through", \
     '' using 1:8 with linespoints lw 2 pt 7 lc rgb "#31a354" title "pass-through with health", \
     '' using 1:11 with linespoints lw 2 pt 7 lc rgb "#3182bd" title "scan with cache"

set title "live clients' latency: median, bar to p99"
set ylabel "ms (log scale)"
set yrange [0.1:*]
set logscale y
set key center left
plot dir.'/gateway.dat' using ($1*0.94):3:3:4 with yerrorbars pt 7 lc rgb "#636363" title "reference", \
     '' using ($1*0.98):6:6:7 with yerrorbars pt 7 lc rgb "#e6550d" title "pass-through", \
     '' using ($1*1.02):9:9:10 with yerrorbars pt 7 lc rgb "#31a354" title "with health", \
     '' using ($1*1.06):12:12:13 with yerrorbars pt 7 lc rgb "#3182bd" title "scan with cache"
unset multiplot

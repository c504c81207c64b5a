# The two plots of BENCHMARKS.md, from the data files bench/report.py writes.
# usage: gnuplot -e "dir='bench/plots'" bench/plots.gp
if (!exists("dir")) dir = 'bench/plots'

set terminal svg size 900,520 dynamic font "sans,11" background rgb "white"
set datafile separator "\t"

# Measured (median, with the 10th-90th percentile) and model time per case.
set output dir.'/cases.svg'
set title "Time per request at 19200 baud: measured and model"
set style data histograms
set style histogram errorbars gap 1 lw 1
set style fill solid 0.7 border -1
set ylabel "ms (log scale)"
set logscale y
set yrange [10:3000]
set xtics rotate by -30 left nomirror
set bmargin 9
set rmargin 14
set key top left
set grid ytics
plot dir.'/cases.dat' using 2:2:2:xtic(1) title "model" lc rgb "#9ecae1", \
     '' using 3:4:5 title "measured (median, p10-p90)" lc rgb "#3182bd"

# Scan time against the number of stations on the line.
reset
set terminal svg size 900,520 dynamic font "sans,11" background rgb "white"
set datafile separator "\t"
set output dir.'/scan.svg'
set title "Scan of one register per station, 19200 baud"
set xlabel "stations on the line"
set ylabel "scan time, s"
set key top left
set grid
set xrange [0:66]
set yrange [0:*]
plot dir.'/scan-snp.dat' using 1:($2/1000) with linespoints lc rgb "#fdae6b" dt 2 pt 6 title "SNP model", \
     '' using 1:($3/1000):($4/1000):($5/1000) with yerrorbars lc rgb "#e6550d" pt 7 title "SNP measured", \
     dir.'/scan-snpx.dat' using 1:($2/1000) with linespoints lc rgb "#9ecae1" dt 2 pt 6 title "SNPX model", \
     '' using 1:($3/1000):($4/1000):($5/1000) with yerrorbars lc rgb "#3182bd" pt 7 title "SNPX measured"

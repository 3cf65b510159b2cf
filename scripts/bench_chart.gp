# One family's ratios as horizontal bars from 1 to the ratio on a log
# scale: bars to the left of the line at 1 mean the library is faster.
#   gnuplot -e "data='X.dat'; out='X.svg'; family='X'; rows=N" scripts/bench_chart.gp
# data: one line per pair, "label" ratio.
set terminal svg size 960, (120 + rows * 26) font "sans,11" background "white"
set output out
set title family . ": time of ours / time of the peer (left of 1: ours is faster)"
set style fill solid 0.6 border -1
set logscale x 10
set xrange [0.01:100]
set yrange [rows - 0.4:-0.6]
set ytics nomirror font "sans,9"
set grid xtics
set arrow from 1, graph 0 to 1, graph 1 nohead lc rgb "black" lw 2
unset key
plot data using 2:0:($2 < 1 ? $2 : 1):($2 > 1 ? $2 : 1):($0 - 0.35):($0 + 0.35):ytic(1) \
     with boxxyerror lc rgb "#4477aa"

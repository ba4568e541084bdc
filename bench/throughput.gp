# Throughput by report size, nginx sink; data written by bench.py.
set terminal pngcairo size 900,560 font ",11"
set output out
set title "HTTPS PUT upload throughput by report size (nginx sink, loopback, median)"
set xlabel "report size"
set ylabel "MB/s (10^6 bytes per second)"
set logscale x 2
set xrange [512:2147483648]
set xtics ("1 KiB" 1024, "1 MiB" 1048576, "10 MiB" 10485760, "100 MiB" 104857600, "1 GiB" 1073741824)
set key top left
set grid
set datafile missing "NaN"
plot data using 1:2 with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "tovrin-report, file", \
     data using 1:3 with linespoints lw 2 pt 7 dt 2 lc rgb "#1f77b4" title "tovrin-report, pipe", \
     data using 1:4 with linespoints lw 2 pt 5 lc rgb "#ff7f0e" title "curl --cacert, file", \
     data using 1:5 with linespoints lw 2 pt 5 dt 2 lc rgb "#ff7f0e" title "curl --cacert, pipe", \
     data using 1:6 with linespoints lw 2 pt 9 lc rgb "#2ca02c" title "curl --capath, file", \
     data using 1:7 with linespoints lw 2 pt 9 dt 2 lc rgb "#2ca02c" title "curl --capath, pipe"

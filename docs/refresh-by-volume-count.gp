# The forced refresh's time against the volume count, from the data that
# `make bench` writes beside this file: the module, its ctypes peer and the
# floor of the same Win32 calls made from C++.
set terminal svg size 720,450 dynamic font "sans,12"
set output "docs/refresh-by-volume-count.svg"
set title "Forced refresh of the volume table"
set xlabel "volumes"
set ylabel "CPU time per refresh (ms)"
set logscale xy
set xtics (4, 16, 64, 256, 1024, 4096)
set key top left
set grid
plot "docs/refresh-by-volume-count.dat" using 1:3 with linespoints title "ctypes peer", \
     "" using 1:2 with linespoints title "windows.volumes", \
     "" using 1:4 with linespoints title "floor (Win32 calls from C++)"

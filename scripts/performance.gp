# gnuplot -e "data='DIR'; output='FILE.svg'" performance.gp: the picture in
# docs/performance.md, from what performance-data.py wrote to DIR.
set terminal svg size 900,380 font "sans,11" background rgb "white"
set output output
set multiplot layout 1,2
set style fill solid 0.8 border -1
set grid ytics
set boxwidth 0.6

set title "Receive CPU per datagram, receiver-bound (lower is better)"
set ylabel "ns per datagram"
set yrange [0:*]
set xtics rotate by -25 nomirror
unset key
plot data."/receive.dat" using 0:2:xtic(1) with boxes lc rgb "#4477aa", \
     "" using 0:2:(sprintf("%.0f", $2)) with labels offset 0,0.7

set title "Draining what 64 senders queued (higher is better)"
set ylabel "million datagrams per second"
set xlabel "workers (threads, one socket each)"
set xtics norotate (1, 2)
set xrange [0.5:2.5]
set boxwidth 0.3
set key below horizontal Left reverse
plot data."/drain.dat" using ($1-0.16):2 with boxes lc rgb "#4477aa" title "Dravik", \
     "" using ($1+0.16):3 with boxes lc rgb "#bbbbbb" title "bare recvmmsg loops"
unset multiplot

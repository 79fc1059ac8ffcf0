#!/usr/bin/env bash
# mouthtoear-plot.sh [BUILD [SECONDS [STALL_SECONDS]]]: runs bench_mouthtoear
# with SECONDS of speech per measurement (12 by default) and STALL_SECONDS of
# speech with a 300 ms stall every 10 s (60 by default) inside a private
# PulseAudio, keeps its figures in docs/mouthtoear.txt and plots the mouth-to-
# ear delay over the speech for the fixed playout of old and the one that
# follows the network: under the CPU hog as docs/mouthtoear.png, through the
# stalls as docs/mouthtoear-stall.png.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
build=${1:-build-bench}
seconds=${2:-12}
stall=${3:-60}
data=$(mktemp -d "${TMPDIR:-/tmp}/mouthtoear.XXXXXX")
trap 'rm -rf "$data"' EXIT

tests/support/with-pulse.sh "$build/bin/bench/bench_mouthtoear" --seconds "$seconds" \
    --stall-seconds "$stall" --data "$data" | tee docs/mouthtoear.txt
echo "# load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a docs/mouthtoear.txt

plot() { # phase title output
    gnuplot <<GNUPLOT
set terminal pngcairo size 900,420 font "sans,10"
set output "$3"
set title "$2"
set xlabel "speech time (s)"
set ylabel "delay (ms)"
set yrange [0:*]
set key top left
set grid
plot "$data/mouthtoear_$1_fixed.dat" using 1:2 with linespoints pt 7 ps 0.5 title "mouth to ear, fixed playout", \
     "$data/mouthtoear_$1_adaptive.dat" using 1:2 with linespoints pt 7 ps 0.5 title "mouth to ear, playout that follows the network", \
     "$data/mouthtoear_$1_adaptive.dat" using 1:4 with lines dt 2 title "network to speaker, playout that follows the network", \
     100 with lines lc rgb "gray" dt 3 title "100 ms"
GNUPLOT
}
plot hog "Mouth to ear under a CPU hog on both cores (${seconds} s of speech)" docs/mouthtoear.png
if [ "$stall" -gt 0 ]; then
    plot stall "Mouth to ear with a 300 ms network stall every 10 s (${stall} s of speech)" \
        docs/mouthtoear-stall.png
fi
echo "wrote docs/mouthtoear.txt and the plots"

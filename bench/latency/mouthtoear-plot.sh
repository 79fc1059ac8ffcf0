#!/usr/bin/env bash
# mouthtoear-plot.sh [BUILD [SECONDS]]: runs bench_mouthtoear with SECONDS of
# speech per measurement (60 by default, the recorded figures) inside a
# private PulseAudio, keeps its figures in docs/mouthtoear.txt and plots the
# mouth-to-ear delay over the speech under the CPU hog, for Qt's default
# buffers and podium's, as docs/mouthtoear.png.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
build=${1:-build-bench}
seconds=${2:-60}
data=$(mktemp -d "${TMPDIR:-/tmp}/mouthtoear.XXXXXX")
trap 'rm -rf "$data"' EXIT

tests/support/with-pulse.sh "$build/bin/bench/bench_mouthtoear" --seconds "$seconds" \
    --data "$data" | tee docs/mouthtoear.txt

gnuplot <<GNUPLOT
set terminal pngcairo size 900,420 font "sans,10"
set output "docs/mouthtoear.png"
set title "Mouth to ear under a CPU hog on both cores (${seconds} s of speech)"
set xlabel "speech time (s)"
set ylabel "delay (ms)"
set yrange [0:*]
set key top left
set grid
plot "$data/mouthtoear_qtdefault.dat" using 1:2 with linespoints pt 7 ps 0.5 title "mouth to ear, Qt default buffers", \
     "$data/mouthtoear_ours.dat" using 1:2 with linespoints pt 7 ps 0.5 title "mouth to ear, podium's buffers", \
     "$data/mouthtoear_ours.dat" using 1:4 with lines dt 2 title "network to speaker, podium's buffers", \
     120 with lines lc rgb "gray" dt 3 title "target 120 ms"
GNUPLOT
echo "wrote docs/mouthtoear.txt and docs/mouthtoear.png"

#!/usr/bin/env bash
# Draws podium's window and status icons. Each picture is drawn at 256 px and
# scaled down to 64 px, which keeps the edges smooth at button size. One
# palette for every icon: a slate glyph, green for "on", red for "off".
# Usage: assistant/images/generate-icons.sh  (writes the PNGs next to itself)
set -euo pipefail
cd "$(dirname "$0")"

slate='#37474F'
green='#2E9E4A'
red='#D8342C'
blue='#1E6FD0'

# An open arc as a polyline (the arc and path primitives close their outline).
arc() { # centre x, centre y, radius x, radius y, from degrees, to degrees
    awk -v cx="$1" -v cy="$2" -v rx="$3" -v ry="$4" -v a0="$5" -v a1="$6" 'BEGIN {
        printf "polyline"
        for (i = 0; i <= 24; i++) {
            a = (a0 + (a1 - a0) * i / 24) * atan2(0, -1) / 180
            printf " %.1f,%.1f", cx + rx * cos(a), cy + ry * sin(a)
        }
        print ""
    }'
}

draw() { # file name, MVG drawing on a 256 px canvas
    convert -size 256x256 xc:none -draw "$2" \
        -filter Lanczos -resize 64x64 -strip "PNG32:$1"
}

# Loudspeaker body, shared by both speaker icons.
speaker="fill '$slate' stroke none
roundrectangle 24,92 80,164 8,8
polygon 72,96 140,44 150,44 150,212 140,212 72,160"

draw sp-on.png "$speaker
fill none stroke '$green' stroke-width 16 stroke-linecap round
stroke-linejoin round
$(arc 150 128 40 40 -50 50)
$(arc 150 128 76 76 -50 50)"

draw sp-off.png "$speaker
fill none stroke '$red' stroke-width 18 stroke-linecap round
line 176,100 232,156
line 232,100 176,156"

# Microphone: capsule, cradle, stem and foot.
mic() { # capsule colour
    echo "fill '$1' stroke none
roundrectangle 92,16 164,146 36,36
fill none stroke '$slate' stroke-width 14 stroke-linecap round
stroke-linejoin round
$(arc 128 118 66 62 0 180)
line 128,182 128,222
line 92,228 164,228"
}

draw mic-on.png "$(mic "$green")
stroke '$green' stroke-width 12
$(arc 128 64 84 84 150 210)
$(arc 128 64 84 84 -30 30)"

draw mic-off.png "$(mic "$slate")
stroke white stroke-width 36 stroke-linecap round
line 44,228 212,28
stroke '$red' stroke-width 18
line 44,228 212,28"

# Network: a screen linked to a server; the link shows the state.
net() { # lamp colour
    echo "fill '$slate' stroke none
roundrectangle 10,58 128,142 10,10
fill white
rectangle 24,72 114,126
fill '$slate'
rectangle 58,142 82,166
roundrectangle 34,164 106,182 6,6
roundrectangle 170,28 244,218 12,12
fill white
rectangle 186,54 228,66
rectangle 186,84 228,96
fill '$1'
circle 207,188 207,202"
}

draw net-on.png "$(net "$green")
fill none stroke '$green' stroke-width 16 stroke-linecap round
line 128,100 170,100"

draw net-off.png "$(net "$red")
fill none stroke '$red' stroke-width 16 stroke-linecap round
line 132,80 166,120
line 163,86 135,114"

# Window icon: a speech bubble carrying a sound wave.
draw ZVCStudent.png "fill '$blue' stroke none
roundrectangle 10,20 246,186 40,40
polygon 56,176 116,176 40,240
fill none stroke white stroke-width 18 stroke-linecap round
line 58,96 58,110
line 94,72 94,134
line 130,50 130,156
line 166,72 166,134
line 202,96 202,110"

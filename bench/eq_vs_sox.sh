#!/usr/bin/env bash
# Compares the equaliser with sox's chain of the same ten peaking filters (Q 1.41) plus gain,
# on the same 60 s stereo 48 kHz float file. Prints both times, their ratio and the largest
# sample difference between the outputs. The signal stays below the limiter's knee.
# Usage: bench/eq_vs_sox.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$top/build"}
tool="$build/bench/tool_eq_file"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Preset "rock": preamp, then the ten band gains from 31 Hz to 16 kHz.
preamp=-3
gains=(5 4 2 -1 -2 -1 2 3 4 5)
freqs=(31 62 125 250 500 1000 2000 4000 8000 16000)

# Music-like material: pink noise with two tones, at about -20 dBFS so nothing reaches the knee.
sox -q -n -r 48000 -c 2 -b 32 -e floating-point "$work/in.wav" \
    synth 60 pinknoise synth 60 sine mix 220 synth 60 sine mix 3300 vol 0.12
sox -q "$work/in.wav" -t f32 "$work/in.f32"

chain=()
for i in "${!freqs[@]}"; do chain+=(equalizer "${freqs[$i]}" 1.41q "${gains[$i]}"); done
chain+=(gain "$preamp")

calc() { awk "BEGIN { print $1 }"; }
t() { local s e; s=$(date +%s.%N); "$@"; e=$(date +%s.%N); calc "$e - $s"; }
t_sox=$(t sox -q -t f32 -r 48000 -c 2 "$work/in.f32" -t f32 "$work/sox.f32" "${chain[@]}")
t_ours=$(t "$tool" "$work/in.f32" "$work/ours.f32" "$preamp" "${gains[@]}" 2>"$work/ours.log")

printf 'sox chain:       %.3f s (%.0fx real time)\n' "$t_sox" "$(calc "60 / $t_sox")"
printf 'Lumafon eq tool: %.3f s (%.0fx real time; %s)\n' "$t_ours" "$(calc "60 / $t_ours")" "$(cat "$work/ours.log")"
printf 'ratio sox / Lumafon: %.2f\n' "$(calc "$t_sox / $t_ours")"
sox -q -m -v 1 -t f32 -r 48000 -c 2 "$work/ours.f32" -v -1 -t f32 -r 48000 -c 2 "$work/sox.f32" -n stats 2>&1 |
    awk '/Max level|Pk lev dB|RMS lev dB/ {print "difference " $0}'

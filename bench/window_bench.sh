#!/usr/bin/env bash
# Cost of the window: time to the first frame (the log's "First frame after" line, five starts)
# and the whole program's CPU (all its threads and its watchdog, user + system, % of one core)
# with the window as it is now:
#   focused    the window has the keyboard focus, no sound
#   unfocused  another window has the focus, no sound
#   music      unfocused, music-like material playing through the equaliser
#   music without the visualizer: the same with LUMA2_TEST_NO_SCENE, the interface alone (a build
#              older than that hook draws its visualizer all the same)
# and, with music playing in an expanded window of 960 x 820 and of 1920 x 1640, the cost of one
# frame (the level log's per-frame times of ui::on_frame, of the composition without the scene
# and of the present), cairo repaints per second (layer repaints and templates painted after the
# first seconds) and the program's CPU.
# It runs on a private Xvfb with openbox and a private PulseAudio daemon, like the window tests.
#
# With --against naming the build of another version (an earlier commit, say), the CPU cases run
# for both programs in the same run, one after the other, and the ratio is printed.
#
# Usage: bench/window_bench.sh [build-dir] [--seconds N] [--against other-build-dir]
#        (default 30 s per measurement)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
seconds=30
against=""
while (($#)); do
  case "$1" in
    --seconds) seconds=$2; shift ;;
    --against) against=$2; shift ;;
    *) build=$1 ;;
  esac
  shift
done
program="$build/Lumafon"
[[ -x $program ]] || { echo "no program in $build" >&2; exit 2; }
[[ -z $against || -x $against/Lumafon ]] || { echo "no program in $against" >&2; exit 2; }

work=$(mktemp -d /tmp/lumafon-window-bench-XXXXXX)
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; wait "${pids[i]}" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
wait_for() { # wait_for SECONDS COMMAND...
  local until=$(( $(date +%s%N) + $1 * 1000000000 )); shift
  while ! "$@"; do (( $(date +%s%N) < until )) || return 1; sleep 0.02; done
}

# ---- X server (it picks a free display itself) and window manager
. "$top/scripts/servers.sh"
start_x_server "$work" 2048x1700 && up=1 || up=0
pids+=("${x_server_pid:-}" "${window_manager_pid:-}")
((up)) || exit 1
xlogo -geometry 200x200+20+20 >/dev/null 2>&1 & pids+=($!)
wait_for 10 sh -c 'xdotool search --name "^xlogo$" >/dev/null'
other=$(xdotool search --name '^xlogo$' | tail -1)

# ---- private sound server, clients pointed at it
start_sound_server "$work" hw_a "hw_a float32le 48000 Fake HW A" && up=1 || up=0
pids+=("${sound_server_pid:-}")
((up)) || exit 1

# Music-like material: pink noise pulsing at a walking pace over a swept bass and a chord.
sox -n -r 48000 -c 2 -b 16 "$work/noise.wav" synth $((3 * seconds + 40)) pinknoise tremolo 2 90 vol 0.35
sox -n -r 48000 -c 2 -b 16 "$work/tones.wav" synth $((3 * seconds + 40)) sine 55:220 sine 330 sine 440 vol 0.2
sox -m "$work/noise.wav" "$work/tones.wav" "$work/music.wav"

tick=$(getconf CLK_TCK)
# CPU ticks of the program and its children (the watchdog).
ticks() {
  local sum=0 p
  for p in "$1" $(cat /proc/"$1"/task/*/children 2>/dev/null); do
    [[ -r /proc/$p/stat ]] && sum=$(( sum + $(awk '{print $14 + $15}' "/proc/$p/stat") ))
  done
  echo "$sum"
}
percent() { awk -v t="$1" -v s="$2" -v k="$tick" 'BEGIN { printf "%.2f", 100 * t / k / s }'; }
machine_note() { echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"; }

app=""
start_app() { # start_app CONFIG-HOME [ARGUMENTS...]; the program is $run (default: the one measured)
  local home=$1; shift
  mkdir -p "$home"
  XDG_CONFIG_HOME="$home" LUMA2_LEVELLOG=1 "${run:-$program}" "$@" >"$home/out" 2>&1 & app=$!
  wait_for 20 grep -qs "First frame after" "$home/Lumafon/Lumafon.log"
  acknowledge
}
# The notice on flashing light that a first start shows is taken away as a user does once (Enter),
# so that the window is measured as it is used every day.
acknowledge() {
  local w
  w=$(xdotool search --name '^Lumafon$' | tail -1) || return 0
  xdotool windowactivate "$w" 2>/dev/null || true
  xdotool windowfocus --sync "$w" 2>/dev/null && xdotool key --window "$w" Return || true
}
stop_app() { kill -TERM "$app"; wait "$app" 2>/dev/null || true; }
window() { xdotool search --name '^Lumafon$' | tail -1; }

echo "Lumafon window bench, $(date -u +%Y-%m-%dT%H:%MZ); $(machine_note)"
echo
echo "== Time to the first frame (5 starts)"
firsts=()
for i in 1 2 3 4 5; do
  start_app "$work/first$i"
  firsts+=("$(sed -n 's/.*First frame after \([0-9]*\) ms.*/\1/p' "$work/first$i/Lumafon/Lumafon.log")")
  stop_app
done
printf '%s\n' "${firsts[@]}" | sort -n | awk '{v[NR]=$1} END {printf "median %d ms, min %d, max %d\n", v[int((NR+1)/2)], v[1], v[NR]}'
grep -E "Renderer |Graphics:" "$work/first1/Lumafon/Lumafon.log" | sed 's/^[0-9:]* [A-Z ]*  */log: /'

echo
echo "== CPU over ${seconds} s (whole program: window, engine, watchdog; % of one core)"
measure() { local a; a=$(ticks "$app"); sleep "$seconds"; percent $(( $(ticks "$app") - a )) "$seconds"; }
player_sink() { pactl list sink-inputs | awk '/^Sink Input/{s=""} /^\tSink:/{s=$2} /application.name = "paplay"/{print s; exit}'; }
focus() { xdotool windowactivate "$1" 2>/dev/null || true; xdotool windowfocus --sync "$1"; sleep 3; }
declare -A cpu
cpu_cases() { # cpu_cases LABEL PROGRAM
  local label=$1 player win
  run=$2
  start_app "$work/cpu-$label" --expanded --header --size 960x820
  wait_for 10 sh -c '[ "$(pactl get-default-sink)" = lumafon ]'
  win=$(window)
  focus "$win"; cpu[$label,focused]=$(measure)
  focus "$other"; cpu[$label,unfocused]=$(measure)
  paplay "$work/music.wav" & player=$!; pids+=("$player"); sleep 3
  [[ "$(player_sink)" == "$(pactl list short sinks | awk '$2 == "lumafon" {print $1}')" ]] ||
    echo "(the music does not play through the equaliser)"
  cpu[$label,music]=$(measure)
  stop_app
  LUMA2_TEST_NO_SCENE=1 start_app "$work/cpu-$label-bare" --expanded --header --size 960x820
  focus "$other"; cpu[$label,bare]=$(measure)
  kill "$player" 2>/dev/null || true
  stop_app
  start_app "$work/cpu-$label-compact" --compact
  focus "$other"; cpu[$label,compact]=$(measure)
  stop_app
  run=""
}
if [[ -z $against ]]; then
  cpu_cases this "$program"
  for case in focused unfocused music bare compact; do
    case $case in
      focused) name="focused, no sound" ;;
      unfocused) name="unfocused, no sound" ;;
      music) name="unfocused, music" ;;
      bare) name="music, no visualizer" ;;
      compact) name="compact unfocused, no sound" ;;
    esac
    printf '%-28s %6s %%\n' "$name:" "${cpu[this,$case]}"
  done
else
  # Both programs at the same time, each with a sound server of its own, so that the load of a
  # shared machine weighs on both alike; neither window has the focus.
  env_this=("PULSE_SERVER=$PULSE_SERVER" "PULSE_COOKIE=$PULSE_COOKIE" "PULSE_CLIENTCONFIG=$PULSE_CLIENTCONFIG")
  start_sound_server "$work/pulse-against" hw_a "hw_a float32le 48000 Fake HW A" && up=1 || up=0
  pids+=("${sound_server_pid:-}")
  ((up)) || exit 1
  env_against=("PULSE_SERVER=$PULSE_SERVER" "PULSE_COOKIE=$PULSE_COOKIE" "PULSE_CLIENTCONFIG=$PULSE_CLIENTCONFIG")
  both() { # both ARGUMENTS...: starts both programs; sets app_this and app_against
    local home
    for side in this against; do
      home="$work/ab-$side-$RANDOM"; mkdir -p "$home"
      if [[ $side == this ]]; then
        env "${env_this[@]}" XDG_CONFIG_HOME="$home" "$program" "$@" >"$home/out" 2>&1 & app_this=$!
      else
        env "${env_against[@]}" XDG_CONFIG_HOME="$home" "$against/Lumafon" "$@" >"$home/out" 2>&1 & app_against=$!
      fi
      wait_for 20 grep -qs "First frame after" "$home/Lumafon/Lumafon.log"
      acknowledge
    done
    focus "$other"
  }
  measure_both() { # measure_both NAME
    local a b
    a=$(ticks "$app_this"); b=$(ticks "$app_against"); sleep "$seconds"
    a=$(percent $(( $(ticks "$app_this") - a )) "$seconds"); b=$(percent $(( $(ticks "$app_against") - b )) "$seconds")
    printf '%-28s %6s %%;  against %6s %%, ratio %s\n' "$1:" "$a" "$b" \
      "$(awk -v a="$a" -v b="$b" 'BEGIN { printf (b > 0 ? "%.2f" : "-"), a / b }')"
  }
  stop_both() { kill -TERM "$app_this" "$app_against"; wait "$app_this" "$app_against" 2>/dev/null || true; }
  echo "(both programs at once, unfocused: this build against $against)"
  both --expanded --header --size 960x820; sleep 3
  measure_both "unfocused, no sound"
  env "${env_this[@]}" paplay "$work/music.wav" & p1=$!; env "${env_against[@]}" paplay "$work/music.wav" & p2=$!
  pids+=("$p1" "$p2"); sleep 3
  measure_both "unfocused, music"
  stop_both
  LUMA2_TEST_NO_SCENE=1 both --expanded --header --size 960x820; sleep 3
  measure_both "music, no visualizer"
  kill "$p1" "$p2" 2>/dev/null || true
  stop_both
  both --compact; sleep 3
  measure_both "compact, no sound"
  stop_both
  export "${env_this[@]}"
fi
paplay "$work/music.wav" & player=$!; pids+=("$player"); sleep 3

echo
echo "== One frame with music, expanded window (times per frame; repaints over ${seconds} s)"
for size in 960x820 1920x1640; do
  home="$work/frame-$size"
  start_app "$home" --expanded --header --size "$size"
  log="$home/Lumafon/Lumafon.log"
  sleep 6 # the first templates are painted while the music starts
  painted=$(grep -c "Template painted" "$log" || true)
  lines=$(grep -c "UI repaint:" "$log" || true)
  cpu=$(measure)
  repaints=$(grep "UI repaint:" "$log" | tail -n +$((lines + 1)) | sed 's/.*repaint: \([0-9]*\) of.*/\1/' | awk '{s+=$1} END {print s+0}')
  painted_after=$(( $(grep -c "Template painted" "$log" || true) - painted ))
  echo "$size: window $(xwininfo -id "$(window)" | awk '/Width:/{w=$2} /Height:/{h=$2} END {print w "x" h}'), $(grep "UI repaint:" "$log" | tail -1 | sed 's/.*; per frame: //')"
  echo "$size: $(grep "Levels:" "$log" | tail -1 | sed 's/.*Levels: //')"
  echo "$size: layer repaints $(awk -v r="$repaints" -v s="$seconds" 'BEGIN {printf "%.2f", r / s}') /s, templates painted $painted_after (logged: all of the first 40, then every 500th), CPU $cpu %"
  stop_app
done
kill "$player" 2>/dev/null || true
machine_note

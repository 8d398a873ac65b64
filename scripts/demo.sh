#!/usr/bin/env bash
# A self-contained demonstration of the program, for machines without a desktop (and on a desktop
# without touching the user's sound server, display or settings). It starts a private PulseAudio
# daemon (all state in a temporary directory) with a null sink standing in for the sound card,
# a virtual X server (Xvfb) with openbox, plays generated music (drums, bass, chords) into the
# default output as a music player would, starts Lumafon there with a temporary configuration
# (header and equaliser panel shown, so that the pictures show the whole interface),
# saves screenshots every few seconds and a short animation, and ends with a summary: the
# routing on the server, the level through the equaliser measured on the fake card against the
# level played, the beats the program logged, its frame rate and CPU, and where the pictures are.
# Everything it started is stopped by process id, also on Ctrl+C.
#
# Usage: scripts/demo.sh [--build DIR] [--seconds N] [--out DIR] [--check]
#   --seconds N  length of the music (default 66; at least 10)
#   --out DIR    where the screenshots, the animation, the program's log and the summary go
#                (default: a new directory under /tmp)
#   --check      end with status 1 unless routing, level, screenshots and their motion are right
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
seconds=66
out=""
check=0
while (($#)); do
  case "$1" in
    --build) build=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --out) out=$2; shift ;;
    --check) check=1 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done
((seconds >= 10)) || { echo "--seconds: at least 10" >&2; exit 2; }
program="$build/Lumafon"
music_tool="$build/demo_music"
[[ -x $program && -x $music_tool ]] || { echo "Lumafon or demo_music missing in $build (scripts/setup.sh builds them)" >&2; exit 2; }
soundfont=/usr/share/sounds/sf2/FluidR3_GM.sf2
[[ -r $soundfont ]] || { echo "soundfont $soundfont missing (package fluid-soundfont-gm)" >&2; exit 2; }

[[ -n $out ]] || out=$(mktemp -d /tmp/lumafon-demo-XXXXXX)
mkdir -p "$out/shots"
rm -f "$out"/shots/shot-*.png "$out/lumafon.gif" "$out/summary.txt" "$out/Lumafon.log"
work=$(mktemp -d /tmp/lumafon-demo-run-XXXXXX)
pids=()
recorders=()
stopped=0
stop_recorders() {
  local p
  for p in "${recorders[@]}"; do kill -TERM "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  recorders=()
}
stop_all() { # newest first: the program, the player, the window manager, the X server, the daemon
  ((stopped)) && return; stopped=1
  local i p
  stop_recorders
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    p=${pids[i]}
    kill -TERM "$p" 2>/dev/null || continue
    for _ in $(seq 100); do kill -0 "$p" 2>/dev/null && [[ $(awk '{print $3}' "/proc/$p/stat" 2>/dev/null) != Z ]] || break; sleep 0.05; done
    kill -KILL "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop_all EXIT
trap 'echo "interrupted: stopping what the demo started" >&2; exit 130' INT TERM
wait_for() { # wait_for SECONDS COMMAND...
  local until=$(( $(date +%s%N) + $1 * 1000000000 )); shift
  while ! "$@"; do (( $(date +%s%N) < until )) || return 1; sleep 0.05; done
}
say() { echo "$*" >&2; }
started=$(date +%s%N)
since() { awk -v a="$started" -v b="$(date +%s%N)" 'BEGIN { printf "%5.1f s", (b - a) / 1e9 }'; }

# ---- the music: MIDI from our generator, rendered with the General MIDI soundfont
say "[$(since)] rendering ${seconds} s of music"
"$music_tool" midi "$work/music.mid" "$seconds"
fluidsynth -n -i -q -r 48000 -g 0.5 -R 0 -C 0 -T raw -O float -E little -F "$work/music.raw" \
  "$soundfont" "$work/music.mid" >/dev/null 2>&1
sox -t f32 -r 48000 -c 2 "$work/music.raw" -e floating-point -b 32 "$work/music.wav" highpass 20 gain -n -3
rm -f "$work/music.raw"

# ---- private sound server (a null sink is the sound card) and virtual X server
mkdir -m 700 -p "$work/config"
. "$top/scripts/servers.sh"
up=1
start_sound_server "$work" card "card float32le 48000 Demo sound card" || up=0
pids+=("${sound_server_pid:-}")
((up)) && { start_x_server "$work" 1280x1024 || up=0; }
pids+=("${x_server_pid:-}" "${window_manager_pid:-}")
((up)) || exit 1
say "[$(since)] sound server and display $DISPLAY ready"

# ---- a music player plays into the default output; then Lumafon starts and takes it over
paplay --client-name=Player "$work/music.wav" & player=$!; pids+=("$player")
sink_index() { pactl list short sinks | awk -v n="$1" '$2 == n {print $1}'; }
stream_sink() { # the sink index of the playback stream whose application name is $1
  pactl list sink-inputs | awk -v a="application.name = \"$1\"" '/^Sink Input/{s=""} /^\tSink:/{s=$2} index($0, a){print s; exit}'
}
wait_for 10 sh -c "pactl list sink-inputs | grep -q 'application.name = \"Player\"'" || true
log="$work/config/Lumafon/Lumafon.log"
# Without the session bus: the window must not inhibit the screen saver of a desktop it is not on.
env -u DBUS_SESSION_BUS_ADDRESS XDG_CONFIG_HOME="$work/config" LUMA2_LEVELLOG=1 LUMA2_BEATLOG=1 "$program" --expanded --header >"$work/program.out" 2>&1 & app=$!
pids+=("$app")
wait_for 60 grep -qs "First frame after" "$log" || { say "no first frame:"; cat "$work/program.out" "$log" >&2; exit 1; }
taken_over() { [[ "$(pactl get-default-sink)" == lumafon && "$(stream_sink Player)" == "$(sink_index lumafon)" ]]; }
wait_for 20 taken_over || true
window=$(xdotool search --name '^Lumafon$' | tail -1)
# A first start shows the notice on flashing light; the demonstration acknowledges it as a user would.
[[ -n $window ]] && { xdotool windowfocus --sync "$window" key Return || true; } >/dev/null 2>&1
say "[$(since)] Lumafon is running (pid $app, window $window); the music plays through it"

# ---- routing, as the server sees it
sink_name() { pactl list short sinks | awk -v i="$1" '$1 == i {print $2}'; }
record_source() { # the name of the source that application $1 records from
  local index
  index=$(pactl list source-outputs | awk -v a="application.name = \"$1\"" '/^Source Output/{s=""} /^\tSource:/{s=$2} index($0, a){print s; exit}')
  pactl list short sources | awk -v i="$index" '$1 == i {print $2}'
}
routing() {
  echo "default output:            $(pactl get-default-sink)"
  echo "music player's stream on:  $(sink_name "$(stream_sink Player)")"
  echo "Lumafon's playback on:     $(sink_name "$(stream_sink Lumafon)")"
  echo "Lumafon records from:      $(record_source Lumafon)"
}
routing > "$work/routing.txt"

# ---- screenshots every few seconds, an animation in the middle, a level measurement
tick=$(getconf CLK_TCK)
ticks() { # CPU ticks of the program and its children (the watchdog)
  local sum=0 p
  for p in "$1" $(cat /proc/"$1"/task/*/children 2>/dev/null); do
    [[ -r /proc/$p/stat ]] && sum=$(( sum + $(awk '{print $14 + $15}' "/proc/$p/stat") ))
  done
  echo "$sum"
}
cpu_from=$(ticks "$app"); cpu_at=$(date +%s%N)
shot() { import -window "$window" "$1" 2>/dev/null || import -window root "$1" 2>/dev/null || true; }
interval=$(( seconds >= 30 ? 6 : 2 ))
measure_seconds=$(( seconds >= 30 ? 10 : 6 ))
# What the player sends into the program's sink and what comes out on the card, recorded at once
# once the takeover has settled.
sleep 1
for dev in lumafon.monitor card.monitor; do
  timeout "$measure_seconds" parec --device="$dev" --format=float32le --rate=48000 --channels=2 \
    --latency-msec=20 --raw >"$work/$dev.f32" & recorders+=($!)
done
n=0; animated=0
while kill -0 "$player" 2>/dev/null; do
  n=$((n + 1))
  shot "$(printf '%s/shots/shot-%02d.png' "$out" "$n")"
  if ((!animated && n >= 3)); then
    for p in "${recorders[@]}"; do wait "$p" 2>/dev/null || true; done # the animation waits for the measurement
    recorders=()
    for i in $(seq -w 1 20); do import -window "$window" -resize 480x "$work/anim-$i.png" 2>/dev/null || true; sleep 0.1; done
    animated=1
  fi
  for _ in $(seq $((interval * 10))); do kill -0 "$player" 2>/dev/null || break; sleep 0.1; done
done
cpu=$(awk -v t="$(( $(ticks "$app") - cpu_from ))" -v k="$tick" -v a="$cpu_at" -v b="$(date +%s%N)" 'BEGIN { printf "%.1f", 100 * t / k / ((b - a) / 1e9) }')
stop_recorders
ls "$work"/anim-*.png >/dev/null 2>&1 && convert -delay 10 -loop 0 "$work"/anim-*.png "$out/lumafon.gif" 2>/dev/null || true

# ---- stop the program in order and see that the sound is given back
kill -TERM "$app"
wait_for 15 sh -c "! kill -0 $app 2>/dev/null" || true
wait "$app" 2>/dev/null && status=0 || status=$?
given_back=no
[[ "$(pactl get-default-sink)" == card && -z "$(sink_index lumafon)" ]] && given_back=yes
cp "$log" "$out/Lumafon.log" 2>/dev/null || true
say "[$(since)] finished"

# ---- the summary
levels=$("$music_tool" levels "$work/lumafon.monitor.f32" "$work/card.monitor.f32" 2>&1 || true)
read -r _ played _ expected _ measured_db _ delay _ match <<<"$levels" || true
fps=$(grep -o 'UI repaint: [0-9]* of [0-9]* frames' "$out/Lumafon.log" | awk '{f += $5; n++} END { if (n) printf "%.1f", f / (5 * n); else print "?" }')
first=$(sed -n 's/.*First frame after \([0-9]*\) ms.*/\1/p' "$out/Lumafon.log" | head -1)
beats=$(grep -o 'Beat: .*' "$out/Lumafon.log" || true)
shots=("$out"/shots/*.png)
# A screenshot is blank when all its pixels are nearly the same; motion is the share of pixels
# that differ between neighbouring screenshots.
spread() { convert "$1" -colorspace Gray -format '%[fx:standard_deviation]' info: 2>/dev/null || echo 0; }
changed() { compare -metric AE -fuzz 3% "$1" "$2" null: 2>&1 | awk '{print int($1)}'; }
blank=0; moving=0
for ((i = 0; i < ${#shots[@]}; i++)); do
  awk -v s="$(spread "${shots[i]}")" 'BEGIN { exit !(s < 0.01) }' && blank=$((blank + 1))
  ((i > 0)) && (($(changed "${shots[i-1]}" "${shots[i]}") > 500)) && moving=$((moving + 1))
done
{
  echo "Lumafon demonstration: ${seconds} s of generated music (drums, bass, chords) played by paplay"
  echo
  echo "Routing on the private sound server while the music played:"
  sed 's/^/  /' "$work/routing.txt"
  echo "  after Lumafon ended:       default output $(pactl get-default-sink), sound given back: $given_back (exit status $status)"
  echo
  if [[ -n ${match:-} ]]; then
    echo "Level (RMS over ${measure_seconds} s, steady part):"
    echo "  played into Lumafon's sink:         $played dBFS"
    echo "  expected after the equaliser:       $expected dBFS (standard curve of a fresh configuration)"
    echo "  measured on the sound card:         $measured_db dBFS (difference $(awk -v a="$measured_db" -v b="$expected" 'BEGIN { printf "%+.2f", a - b }') dB)"
    echo "  (the recordings aligned at ${delay} ms, envelopes matching $match; Lumafon's own figure: $(grep -o 'output latency [0-9-]* ms' "$out/Lumafon.log" | tail -1))"
  else
    echo "Level: not measured ($levels)"
  fi
  echo
  if [[ -n $beats ]]; then
    echo "Beats logged by Lumafon (every 5 s):"
    sed 's/^/  /' <<<"$beats"
    echo "$beats" | awk '{h += $2; d += $4} END { printf "  total: %d hits, %d drums (kicks)\n", h, d }'
  else
    echo "Beats: this build logs none (no \"Beat:\" lines with LUMA2_BEATLOG set; the visualizer that logs them is not built yet)"
  fi
  echo
  echo "Frame rate: ${fps} frames/s; first frame after ${first:-?} ms; CPU of Lumafon with its watchdog: ${cpu} % of one core"
  echo "Renderer: $(grep -o 'Video .*' "$out/Lumafon.log" | head -1)"
  echo
  echo "Screenshots (${#shots[@]}, ${blank} blank, ${moving} of $(( ${#shots[@]} - 1 )) steps with the picture changed):"
  printf '  %s\n' "${shots[@]}"
  [[ -f $out/lumafon.gif ]] && echo "Animation: $out/lumafon.gif"
  echo "Program log: $out/Lumafon.log"
} | tee "$out/summary.txt"

if ((check)); then
  problems=()
  grep -q "^default output: *lumafon$" "$work/routing.txt" || problems+=("the default output was not Lumafon's sink")
  grep -q "^music player's stream on: *lumafon$" "$work/routing.txt" || problems+=("the player's stream was not on Lumafon's sink")
  grep -q "^Lumafon's playback on: *card$" "$work/routing.txt" || problems+=("Lumafon did not play to the sound card")
  grep -q "^Lumafon records from: *lumafon.monitor$" "$work/routing.txt" || problems+=("Lumafon did not record its sink's monitor")
  [[ $given_back == yes && $status == 0 ]] || problems+=("the sound was not given back in order (status $status)")
  if [[ -n ${match:-} ]]; then
    awk -v a="$measured_db" -v b="$expected" -v p="$played" 'BEGIN { d = a - b; exit !(d < 1 && d > -1 && p > -40) }' ||
      problems+=("level on the card $measured_db dBFS, expected $expected dBFS, played $played dBFS")
  else
    problems+=("no level measured")
  fi
  ((${#shots[@]} >= 3 && blank == 0)) || problems+=("${#shots[@]} screenshots, $blank blank")
  ((moving >= 1)) || problems+=("the window did not change while the music played")
  # Builds that log beats must have heard the kick drum that plays on every beat.
  if [[ -n $beats ]] && ! awk '{h += $2} END { exit !(h > 0) }' <<<"$beats"; then
    problems+=("no beats logged while the drums played")
  fi
  if ((${#problems[@]})); then
    printf 'CHECK FAILED: %s\n' "${problems[@]}" >&2
    exit 1
  fi
  echo "CHECK PASSED"
fi

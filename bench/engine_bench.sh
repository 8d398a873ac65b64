#!/usr/bin/env bash
# Reliability and performance figures of the sound engine, against a private PulseAudio daemon
# with null sinks standing in for hardware (as in the integration tests):
#   cpu      CPU of the engine routing 48 kHz stereo, beside PulseAudio's own module-loopback
#            copying the same monitor to the same device, in the same run
#   latency  added latency from our sink's monitor to the device: the engine's own figure (its
#            "AV sync" log line) and clicks timed from outside
#   long     a long run with music-like material: dropped blocks and underruns
#   kill     repeated SIGKILLs while routing: does the watchdog give the sound back within 1 s?
#
# Usage: bench/engine_bench.sh [build-dir] [--only PART] [--cpu-seconds N] [--long-seconds N] [--kills N]
# The build directory needs the bench tools (tool_engine_run, tool_path_latency).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
only=""
cpu_seconds=60
long_seconds=600
kills=50
while (($#)); do
  case "$1" in
    --only) only=$2; shift ;;
    --cpu-seconds) cpu_seconds=$2; shift ;;
    --long-seconds) long_seconds=$2; shift ;;
    --kills) kills=$2; shift ;;
    *) build=$1 ;;
  esac
  shift
done
run_tool="$build/bench/tool_engine_run"
probe_tool="$build/bench/tool_path_latency"
[[ -x $run_tool && -x $probe_tool ]] || { echo "bench tools missing in $build/bench" >&2; exit 2; }
wants() { [[ -z $only || $only == "$1" ]]; }

work=$(mktemp -d /tmp/lumafon-bench-XXXXXX)
daemon_pid=""
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [[ -n $daemon_pid ]] && kill -TERM "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# ---- private daemon, clients pointed at it
. "$top/scripts/servers.sh"
start_sound_server "$work" hw_a "hw_a float32le 48000 Fake HW A" "hw_b s16le 44100 Fake HW B" && up=1 || up=0
daemon_pid=${sound_server_pid:-}
((up)) || exit 1

sink_args="sink_name=lumafon rate=48000 channels=2 channel_map=front-left,front-right sink_properties='device.description=Lumafon monitor.channel-volumes=true device.icon_name=lumafon'"
tick=$(getconf CLK_TCK)
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
sink_index() { pactl list short sinks | awk -v n="$1" '$2 == n {print $1}'; }
player_sink() { pactl list sink-inputs | awk '/^Sink Input/{s=""} /^\tSink:/{s=$2} /application.name = "paplay"/{print s; exit}'; }
routed() { [[ "$(pactl get-default-sink)" == lumafon && -n "$(sink_index lumafon)" && "$(player_sink)" == "$(sink_index lumafon)" ]]; }
given_back() { [[ "$(pactl get-default-sink)" == hw_a && -z "$(sink_index lumafon)" && "$(player_sink)" == "$(sink_index hw_a)" ]]; }
wait_for() { # wait_for SECONDS COMMAND...
  local until=$(( $(date +%s%N) + ${1%.*} * 1000000000 )); shift
  while ! "$@"; do (( $(date +%s%N) < until )) || return 1; sleep 0.01; done
}
percent() { awk -v t="$1" -v s="$2" -v k="$tick" 'BEGIN { printf "%.3f", 100 * t / k / s }'; }
machine_note() { echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"; }

playing() { [[ -n "$(player_sink)" ]]; }
play_start() { paplay "$@" & player=$!; pids+=("$player"); wait_for 5 playing; }
play_stop() { kill "$player" 2>/dev/null || true; wait "$player" 2>/dev/null || true; }
engine_start() { # engine_start LOGDIR [options]
  mkdir -p "$1"
  "$run_tool" "$1" 0 "${@:2}" >"$1/out" 2>&1 & engine=$!; pids+=("$engine")
  wait_for 15 grep -q routing "$1/out"
}
engine_stop() { kill -TERM "$engine" 2>/dev/null || true; wait "$engine" 2>/dev/null || true; }

# Music-like material: pink noise pulsing at a walking pace over a swept bass and a chord.
music="$work/music.wav"
music_seconds=$(( long_seconds > cpu_seconds ? long_seconds : cpu_seconds ))
music_seconds=$(( music_seconds + 30 ))
sox -n -r 48000 -c 2 -b 16 "$work/noise.wav" synth "$music_seconds" pinknoise tremolo 2 90 vol 0.35
sox -n -r 48000 -c 2 -b 16 "$work/tones.wav" synth "$music_seconds" sine 55:220 sine 330 sine 440 vol 0.2
sox -m "$work/noise.wav" "$work/tones.wav" "$music"
rm -f "$work/noise.wav" "$work/tones.wav"
echo "Lumafon engine bench, $(date -u +%Y-%m-%dT%H:%MZ); $(machine_note)"

if wants cpu; then
  echo
  echo "== CPU while routing ${cpu_seconds} s of 48 kHz stereo (user + system, % of one core)"
  measure() { local a b; a=$(ticks "$1"); sleep "$cpu_seconds"; b=$(ticks "$1"); echo $(( b - a )); }

  m=$(pactl load-module module-null-sink "$sink_args")
  play_start --device=lumafon "$music"; sleep 3
  base=$(measure "$daemon_pid"); play_stop
  lb=$(pactl load-module module-loopback source=lumafon.monitor sink=hw_a)
  play_start --device=lumafon "$music"; sleep 3
  loop=$(measure "$daemon_pid"); play_stop
  pactl unload-module "$lb"; pactl unload-module "$m"

  play_start "$music"
  engine_start "$work/cpu"; wait_for 5 routed; sleep 3
  a=$(ticks "$engine"); d=$(ticks "$daemon_pid"); sleep "$cpu_seconds"
  eng=$(( $(ticks "$engine") - a )); dmn=$(( $(ticks "$daemon_pid") - d ))
  engine_stop; play_stop
  echo "server, player into a null sink only:        $(percent "$base" "$cpu_seconds") %"
  echo "server with module-loopback doing the job:   $(percent "$loop" "$cpu_seconds") %  (loopback's cost $(percent $(( loop - base )) "$cpu_seconds") %)"
  echo "engine process (all its threads):            $(percent "$eng" "$cpu_seconds") %"
  echo "server while serving the engine's streams:   $(percent "$dmn" "$cpu_seconds") %  (its share of the routing $(percent $(( dmn - base )) "$cpu_seconds") %)"
  echo "routing by the engine, engine + server share: $(percent $(( eng + dmn - base )) "$cpu_seconds") %"
  machine_note
fi

if wants latency; then
  echo
  echo "== Added latency, our sink's monitor to the device"
  sox -n -r 48000 -c 2 -b 32 -e floating-point "$work/click.wav" synth 0.01 sine 1000 vol 0.5 pad 0 0.49
  sox "$work/click.wav" "$work/clicks.wav" repeat 99
  play_start "$work/clicks.wav"
  LUMA2_BEATLOG=1 engine_start "$work/latency"; wait_for 5 routed; sleep 2
  "$probe_tool" lumafon.monitor hw_a.monitor 30 >"$work/probe.txt" || true
  sleep 1; engine_stop; play_stop
  tail -1 "$work/probe.txt" | awk '{printf "from outside (%s clicks): median %s ms, min %s, max %s\n", $8, $2, $4, $6}'
  grep "AV sync" "$work/latency/Lumafon.log" | sed 's/^[0-9:]* INFO  /engine: /' || echo "engine: no AV sync line"
  machine_note
fi

if wants long; then
  echo
  echo "== ${long_seconds} s of music-like material through the engine"
  play_start "$music"
  engine_start "$work/long"; wait_for 5 routed
  sleep "$long_seconds"
  engine_stop; play_stop
  if grep -q "Audio path" "$work/long/Lumafon.log"; then
    grep "Audio path" "$work/long/Lumafon.log"
  else
    echo "dropped blocks 0, underruns 0 (no \"Audio path\" line in the log)"
  fi
  machine_note
fi

if wants kill; then
  echo
  echo "== ${kills} SIGKILLs while routing"
  play_start "$music"
  rescued=0; worst=0
  for i in $(seq "$kills"); do
    engine_start "$work/kill$i" || { echo "run $i: engine did not start routing"; continue; }
    wait_for 5 routed || { echo "run $i: not routed"; engine_stop; continue; }
    t0=$(date +%s%N)
    kill -KILL "$engine"; wait "$engine" 2>/dev/null || true
    if wait_for 2 given_back; then
      ms=$(( ($(date +%s%N) - t0) / 1000000 ))
      (( ms > worst )) && worst=$ms
      (( ms <= 1000 )) && rescued=$(( rescued + 1 ))
    else
      echo "run $i: not given back"; pactl set-default-sink hw_a; m=$(pactl list sinks | awk '/Name: lumafon/{f=1} f && /Owner Module/{print $3; exit}'); [[ -n $m ]] && pactl unload-module "$m"
    fi
  done
  play_stop
  echo "rescued within 1 s: $rescued of $kills (slowest $worst ms)"
  machine_note
fi

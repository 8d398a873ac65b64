#!/usr/bin/env bash
# Reliability and performance figures of the sound engine, against a private PulseAudio daemon
# with null sinks standing in for hardware (as in the integration tests):
#   cpu      CPU of the engine routing 48 kHz stereo, beside PulseAudio's own module-loopback
#            copying the same monitor to the same device, in the same run
#   latency  added latency from our sink's monitor to the device: the engine's own figure (its
#            "AV sync" log line) and clicks timed from outside
#   long     a long run with music-like material: dropped blocks and underruns
#   kill     repeated SIGKILLs while routing: does the watchdog give the sound back within 1 s?
#   load     underruns while two busy loops keep both cores busy: the engine to hw_a beside
#            module-loopback copying the same monitor to hw_b at the same time (its default
#            200 ms, then 60 ms)
#   recover  added latency (clicks timed from outside) before and 2-6 s after a freeze of the
#            program (SIGSTOP 1 s and 5 s), a suspend of the device (3 s) and a device switch
#   far      a device with 350 ms of latency of its own (a pipe sink drained in real time): how
#            much of a 10 s tone reaches it
#   drift    devices whose clock runs 0.1 % fast and 0.1 % slow (pipe sinks drained so): gaps,
#            underruns and drops, and the stretch the engine settled on
#
# Usage: bench/engine_bench.sh [build-dir] [--only PART] [--cpu-seconds N] [--long-seconds N] [--kills N]
#                              [--load-seconds N] [--drift-seconds N]
# The build directory needs the bench tools (tool_engine_run, tool_path_latency) and the test
# helper device_drain.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
only=""
cpu_seconds=60
long_seconds=600
kills=50
load_seconds=60
drift_seconds=120
while (($#)); do
  case "$1" in
    --only) only=$2; shift ;;
    --cpu-seconds) cpu_seconds=$2; shift ;;
    --long-seconds) long_seconds=$2; shift ;;
    --kills) kills=$2; shift ;;
    --load-seconds) load_seconds=$2; shift ;;
    --drift-seconds) drift_seconds=$2; shift ;;
    *) build=$1 ;;
  esac
  shift
done
run_tool="$build/bench/tool_engine_run"
probe_tool="$build/bench/tool_path_latency"
drain_tool="$build/tests/device_drain"
[[ -x $run_tool && -x $probe_tool && -x $drain_tool ]] || { echo "bench tools missing in $build" >&2; exit 2; }
wants() { [[ -z $only || $only == "$1" ]]; }

work=$(mktemp -d /tmp/lumafon-bench-XXXXXX)
[[ -n ${KEEP_BENCH:-} ]] && echo "work: $work"
daemon_pid=""
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -CONT "$p" 2>/dev/null || true; kill "$p" 2>/dev/null || true; done
  [[ -n $daemon_pid ]] && kill -TERM "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null || true
  [[ -n ${KEEP_BENCH:-} ]] || rm -rf "$work"
}
trap cleanup EXIT

# ---- private daemon, clients pointed at it
mkdir -m 700 -p "$work"/{runtime,state,xdg,home}
cat > "$work/test.pa" <<EOF2
load-module module-native-protocol-unix socket=$work/native auth-anonymous=1 auth-cookie-enabled=0
load-module module-null-sink sink_name=hw_a sink_properties='device.description="Fake HW A"' format=float32le rate=48000 channels=2
load-module module-null-sink sink_name=hw_b sink_properties='device.description="Fake HW B"' format=s16le rate=44100 channels=2
load-module module-null-source source_name=mic
set-default-source mic
set-default-sink hw_a
EOF2
echo "autospawn = no" > "$work/client.conf"
export PULSE_SERVER="unix:$work/native" PULSE_COOKIE="$work/cookie" PULSE_CLIENTCONFIG="$work/client.conf"
daemon_start() { # daemon_start [LOG-LEVEL]
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/xdg" \
    PULSE_RUNTIME_PATH="$work/runtime" PULSE_STATE_PATH="$work/state" \
    pulseaudio --daemonize=no -n --file="$work/test.pa" --exit-idle-time=-1 --disallow-exit=yes \
    --use-pid-file=no --realtime=no --high-priority=no --no-cpu-limit=yes --log-target=stderr \
    --log-level="${1:-notice}" </dev/null >"$work/daemon.log" 2>&1 &
  daemon_pid=$!
  for _ in $(seq 500); do [[ "$(pactl get-default-sink 2>/dev/null)" == hw_a ]] && break; sleep 0.02; done
  [[ "$(pactl get-default-sink)" == hw_a ]] || { echo "daemon did not start" >&2; cat "$work/daemon.log" >&2; exit 1; }
}
daemon_stop() { kill -TERM "$daemon_pid"; wait "$daemon_pid" 2>/dev/null || true; daemon_pid=""; }
daemon_start

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
  "$run_tool" "$1" 0 --figures "${@:2}" >"$1/out" 2>&1 & engine=$!; pids+=("$engine")
  wait_for 15 grep -q routing "$1/out"
}
engine_stop() { kill -TERM "$engine" 2>/dev/null || true; wait "$engine" 2>/dev/null || true; }
# "underruns U drops D" of an engine run, from its log's total line (absent when both are 0).
engine_counts() {
  awk '/Audio path total/ {u=$(NF); sub("x","",u); print "underruns " u " drops " $(NF-4); f=1}
       END {if (!f) print "underruns 0 drops 0"}' "$1/Lumafon.log"
}
mono() { awk '{print $1}' /proc/uptime; }
# make_clicks N: clicks.wav, N clicks of 10 ms, one every 0.5 s.
make_clicks() {
  sox -n -r 48000 -c 2 -b 32 -e floating-point "$work/click.wav" synth 0.01 sine 1000 vol 0.5 pad 0 0.49
  sox "$work/click.wav" "$work/clicks.wav" repeat $(( $1 - 1 ))
}
busy_start() { for _ in 1 2; do sh -c 'while :; do :; done' & pids+=("$!"); busy+=("$!"); done; }
busy_stop() { for p in "${busy[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done; busy=(); }
busy=()
# far_load NAME FACTOR: a pipe sink standing in for a device with 350 ms of latency and a clock
# running FACTOR times real time.
far_load() {
  far_module=$(pactl load-module module-pipe-sink sink_name="$1" file="$work/$1.fifo" format=float32le rate=48000 channels=2 \
    sink_properties="device.description=Far")
  "$drain_tool" "$work/$1.fifo" "$2" >"$work/$1.drain" & drain=$!; pids+=("$drain")
}
far_unload() { kill "$drain" 2>/dev/null || true; wait "$drain" 2>/dev/null || true; pactl unload-module "$far_module"; }

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
  pactl unload-module "$lb"
  # The same copy at about the engine's latency: module-loopback's cost grows as its latency falls.
  lb=$(pactl load-module module-loopback source=lumafon.monitor sink=hw_a latency_msec=60)
  play_start --device=lumafon "$music"; sleep 3
  loop60=$(measure "$daemon_pid"); play_stop
  pactl unload-module "$lb"; pactl unload-module "$m"

  play_start "$music"
  engine_start "$work/cpu"; wait_for 5 routed; sleep 3
  a=$(ticks "$engine"); d=$(ticks "$daemon_pid"); sleep "$cpu_seconds"
  eng=$(( $(ticks "$engine") - a )); dmn=$(( $(ticks "$daemon_pid") - d ))
  engine_stop; play_stop
  echo "server, player into a null sink only:        $(percent "$base" "$cpu_seconds") %"
  echo "server with module-loopback doing the job:   $(percent "$loop" "$cpu_seconds") %  (loopback's cost $(percent $(( loop - base )) "$cpu_seconds") %)"
  echo "same, module-loopback at 60 ms:               $(percent "$loop60" "$cpu_seconds") %  (loopback's cost $(percent $(( loop60 - base )) "$cpu_seconds") %)"
  echo "engine process (all its threads):            $(percent "$eng" "$cpu_seconds") %"
  echo "server while serving the engine's streams:   $(percent "$dmn" "$cpu_seconds") %  (its share of the routing $(percent $(( dmn - base )) "$cpu_seconds") %)"
  echo "routing by the engine, engine + server share: $(percent $(( eng + dmn - base )) "$cpu_seconds") %"
  machine_note
fi

if wants latency; then
  echo
  echo "== Added latency, our sink's monitor to the device"
  make_clicks 100
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

if wants load; then
  echo
  echo "== ${load_seconds} s under two busy loops: engine (to hw_a) beside module-loopback (to hw_b), same monitor, same time"
  daemon_stop; daemon_start debug
  play_start "$music"
  busy_start
  for lat in 200 60; do
    engine_start "$work/load$lat"; wait_for 5 routed; sleep 2
    from=$(wc -l <"$work/daemon.log")
    lb=$(pactl load-module module-loopback source=lumafon.monitor sink=hw_b latency_msec=$lat)
    sleep "$load_seconds"
    pactl unload-module "$lb"
    loop_underruns=$(tail -n +"$from" "$work/daemon.log" | grep -c "Underrun detected" || true)
    engine_stop
    echo "engine: $(engine_counts "$work/load$lat"); module-loopback latency_msec=$lat: underruns $loop_underruns"
  done
  busy_stop; play_stop
  machine_note
  daemon_stop; daemon_start
fi

if wants recover; then
  echo
  echo "== Added latency before and 2-6 s after disturbances (clicks every 0.5 s, timed from outside)"
  make_clicks 240
  play_start "$work/clicks.wav"
  engine_start "$work/recover"; wait_for 5 routed; sleep 3
  probe_uptime=$(mono)
  "$probe_tool" lumafon.monitor hw_a.monitor 52 >"$work/recover.txt" &
  probe=$!; pids+=("$probe")
  sleep 6
  events=()
  kill -STOP "$engine"; sleep 1; kill -CONT "$engine"; events+=("freeze-1s $(mono)"); sleep 8
  kill -STOP "$engine"; sleep 5; kill -CONT "$engine"; events+=("freeze-5s $(mono)"); sleep 8
  pactl suspend-sink hw_a 1; sleep 3; pactl suspend-sink hw_a 0; events+=("suspend-3s $(mono)"); sleep 8
  wait "$probe" || true
  # Windows in seconds after the probe started (its "start" line; /proc/uptime for the events,
  # close enough for windows of seconds): label, from, to.
  summary() { # summary FILE "LABEL FROM TO ..."
    awk -v windows="$2" '
      BEGIN {n=0}
      /^start/ {s=$2}
      /^click/ {t[n]=$2 - s; d[n]=$4; n++}
      END {
        split(windows, w, " ")
        for (k = 1; k in w; k += 3) {
          c=0; mx=0
          for (i = 0; i < n; i++) if (t[i] >= w[k+1] && t[i] < w[k+2]) {c++; if (d[i] > mx) mx=d[i]}
          printf "%-12s clicks %2d, latest %.1f ms\n", w[k], c, mx
        }
      }' "$1"
  }
  windows="before 0 5"
  for e in "${events[@]}"; do
    set -- $e
    at=$(awk -v a="$2" -v z="$probe_uptime" 'BEGIN{print a - z}')
    windows="$windows $1 $(awk -v a="$at" 'BEGIN{print a + 2, a + 6}')"
  done
  engine_stop; play_stop
  summary "$work/recover.txt" "$windows"
  echo "engine: $(engine_counts "$work/recover")"

  # A device switch: the user makes hw_b the default; the engine follows it.
  play_start "$work/clicks.wav"
  engine_start "$work/switch"; wait_for 5 routed; sleep 2
  probe_uptime=$(mono)
  "$probe_tool" lumafon.monitor hw_b.monitor 12 >"$work/switch.txt" &
  probe=$!; pids+=("$probe")
  sleep 2; pactl set-default-sink hw_b; switch_at=$(awk -v a="$(mono)" -v z="$probe_uptime" 'BEGIN{print a - z}')
  wait "$probe" || true
  engine_stop; play_stop
  pactl set-default-sink hw_a
  summary "$work/switch.txt" "switch $(awk -v a="$switch_at" 'BEGIN{print a + 2, a + 8}')"
  machine_note
fi

if wants far; then
  echo
  echo "== A device with 350 ms of latency of its own: a 10 s tone through the engine"
  sox -n -r 48000 -c 2 -b 32 -e floating-point "$work/tone10.wav" synth 10 sine 1000 vol 0.3
  far_load far 1.0
  pactl set-default-sink far
  engine_start "$work/far"; sleep 3
  pactl list sinks | awk '/Name: far/{f=1} f && /Latency:/{print "device reports: " $0; exit}'
  paplay "$work/tone10.wav"
  sleep 2
  far_unload
  engine_stop
  pactl set-default-sink hw_a
  tail -1 "$work/far.drain" | awk '{printf "reached the device: %.3f s of 10 s (%d gaps)\n", $8 / 48000, $10}'
  echo "engine: $(engine_counts "$work/far")"
  machine_note
fi

if wants drift; then
  echo
  echo "== Devices whose clock runs apart from the system clock, ${drift_seconds} s each with music-like material"
  for factor in 1.001 0.999; do
    far_load drift "$factor"
    pactl set-default-sink drift
    play_start "$music"
    engine_start "$work/drift$factor"; sleep "$drift_seconds"
    engine_stop; play_stop
    pactl set-default-sink hw_a
    gaps=$(tail -1 "$work/drift.drain" | awk '{print $10}')
    far_unload
    echo "clock x$factor: engine $(engine_counts "$work/drift$factor"), gaps at the device $gaps; $(grep -o 'stretch [^,]*' "$work/drift$factor/Lumafon.log" | tail -1)"
  done
  machine_note
fi

# Private servers for the demonstration and the benchmark scripts (sourced, not run): a PulseAudio
# daemon and a virtual X server with a window manager, each keeping all its state in a directory
# the caller owns and removes. Nothing is written to $HOME, /run or /var, and the user's own
# servers are never touched. The caller stops the returned processes by their ids.

# Polls COMMAND... every 20 ms for up to SECONDS; status 1 when it never succeeded.
servers_wait() {
  local until=$(( $(date +%s%N) + $1 * 1000000000 )); shift
  while ! "$@"; do (( $(date +%s%N) < until )) || return 1; sleep 0.02; done
}

# start_sound_server DIR DEFAULT-SINK [SINK-LINE...]
# Starts PulseAudio with a null source "mic", the null sinks of the SINK-LINEs ("name format rate
# description", e.g. "card float32le 48000 Demo sound card") and DEFAULT-SINK as its default, and
# points this shell's clients at it. Sets sound_server_pid; the daemon's log is DIR/pulseaudio.log.
start_sound_server() {
  local dir=$1 default=$2 line name format rate description
  shift 2
  mkdir -m 700 -p "$dir"/{runtime,state,xdg,home}
  {
    echo "load-module module-native-protocol-unix socket=$dir/native auth-anonymous=1 auth-cookie-enabled=0"
    for line in "$@"; do
      read -r name format rate description <<<"$line"
      echo "load-module module-null-sink sink_name=$name sink_properties='device.description=\"$description\"' format=$format rate=$rate channels=2"
    done
    echo "load-module module-null-source source_name=mic"
    echo "set-default-source mic"
    echo "set-default-sink $default"
  } >"$dir/server.pa"
  echo "autospawn = no" >"$dir/client.conf"
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$dir/home" XDG_RUNTIME_DIR="$dir/xdg" \
    PULSE_RUNTIME_PATH="$dir/runtime" PULSE_STATE_PATH="$dir/state" \
    pulseaudio --daemonize=no -n --file="$dir/server.pa" --exit-idle-time=-1 --disallow-exit=yes \
    --use-pid-file=no --realtime=no --high-priority=no --no-cpu-limit=yes --log-target=stderr \
    </dev/null >"$dir/pulseaudio.log" 2>&1 &
  sound_server_pid=$!
  export PULSE_SERVER="unix:$dir/native" PULSE_COOKIE="$dir/cookie" PULSE_CLIENTCONFIG="$dir/client.conf"
  servers_wait 10 sh -c "[ \"\$(pactl get-default-sink 2>/dev/null)\" = '$default' ]" || {
    echo "the private sound server did not start:" >&2
    cat "$dir/pulseaudio.log" >&2
    return 1
  }
}

# start_x_server DIR WxH
# Starts Xvfb on a free display of its choosing and openbox on it, and points this shell's X
# clients at it. Sets x_server_pid and window_manager_pid; logs go to DIR.
start_x_server() {
  local dir=$1 size=$2 number
  mkdir -p "$dir/wm"
  exec {x_fd}< <(exec Xvfb -displayfd 1 -screen 0 "${size}x24" -nolisten tcp -noreset 2>"$dir/xvfb.log")
  x_server_pid=$!
  read -r -t 15 number <&"$x_fd" || { echo "Xvfb did not start:" >&2; cat "$dir/xvfb.log" >&2; return 1; }
  export DISPLAY=":$number"
  unset WAYLAND_DISPLAY XAUTHORITY
  servers_wait 10 xdpyinfo >/dev/null 2>&1
  HOME="$dir/wm" openbox --sm-disable >"$dir/openbox.log" 2>&1 &
  window_manager_pid=$!
  servers_wait 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' || true
}

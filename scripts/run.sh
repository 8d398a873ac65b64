#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program with the given arguments.
# On a desktop (a display and a reachable sound server) the window opens in the user's session.
# Without a display (a fresh server, a container, CI) it runs the self-contained demonstration of
# scripts/demo.sh instead, which starts private sound and X servers and leaves the machine as it
# was; "--demo [demo arguments]" runs that demonstration on a desktop too.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" "$top/build" >&2

if [[ "${1:-}" == "--demo" ]]; then
  shift
  exec "$top/scripts/demo.sh" --build "$top/build" "$@"
fi

# Console modes (--help, --devices, --selftest, ...) need neither a display nor a sound server.
window=1
for arg in "$@"; do
  case "$arg" in
    --help | -h | --version | --selftest | --devices | --apo-*) window=0 ;;
  esac
done

has_display() {
  [[ -n "${WAYLAND_DISPLAY:-}" ]] && return 0
  [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1
}
has_sound_server() { # asks only a server that is already there: never starts one
  local socket=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/pulse/native
  [[ -n "${PULSE_SERVER:-}" || -S $socket ]] && timeout 5 pactl info >/dev/null 2>&1
}

if ((window)) && ! has_display; then
  echo "No display here: running the demonstration on private sound and X servers instead" \
    "(scripts/run.sh --demo does this on a desktop too)." >&2
  exec "$top/scripts/demo.sh" --build "$top/build"
fi
if ((window)) && ! has_sound_server; then
  echo "No sound server reachable: the window opens, but there is nothing to equalise." >&2
fi
exec "$top/build/Lumafon" "$@"

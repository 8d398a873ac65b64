#!/usr/bin/env bash
# Frame rate and whole-program CPU of the visualizer per family group, with music, through
# scripts/demo.sh (private sound server and X server, window 960 x 820). With --against naming
# the build of another version, both programs run one after the other for each group, so that
# the figures come from the same machine state.
#
# Usage: bench/scene_fps.sh [build-dir] [--against other-build-dir] [--seconds N] [--groups "name=family ..."]
#        (families as LUMA2_PATTERN takes them; "mix" lets the director choose)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
against=""
seconds=20
groups="pattern=4 figures=12 mandelbrot=29 attractor=35 tunnel=46 mix=mix"
while (($#)); do
  case "$1" in
    --against) against=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --groups) groups=$2; shift ;;
    *) build=$1 ;;
  esac
  shift
done
run() { # build-dir family -> "fps cpu"
  local dir=$1 fam=$2 out
  out=$(mktemp -d /tmp/lumafon-scene-fps-XXXXXX)
  if [[ $fam == mix ]]; then
    "$top/scripts/demo.sh" --build "$dir" --seconds "$seconds" --out "$out" >/dev/null 2>&1 || true
  else
    LUMA2_PATTERN=$fam LUMA2_PATTERN_SECONDS=600 "$top/scripts/demo.sh" --build "$dir" --seconds "$seconds" --out "$out" >/dev/null 2>&1 || true
  fi
  # frames per second, % of one core, and CPU milliseconds per frame (the figure that the
  # machine's other load disturbs least)
  sed -n 's/^Frame rate: \([0-9.?]*\) frames\/s.*: \([0-9.]*\) % of one core$/\1 \2/p' "$out/summary.txt" 2>/dev/null |
    head -1 | awk '{ printf "%5.1f fps %5.1f %% %5.1f ms", $1, $2, ($1 > 0 ? 10 * $2 / $1 : 0) }'

  rm -rf "$out"
}
printf '%-12s %-34s %s\n' group "this build: fps, CPU, CPU/frame" "${against:+other build: fps, CPU, CPU/frame}"
for g in $groups; do
  name=${g%%=*} fam=${g#*=}
  a=$(run "$build" "$fam")
  b=""
  [[ -z $against ]] || b=$(run "$against" "$fam")
  printf '%-12s %-34s %s\n' "$name" "$a" "$b"
done

#!/usr/bin/env bash
# Builds the program and runs the whole test suite, ending with CTest's summary.
# The suite runs three times: under AddressSanitizer + UBSan, the threaded parts under
# ThreadSanitizer, and last the plain build whose summary closes the output.
# Warnings are errors in every build made here (a user's build only warns).
# Usage: scripts/test.sh [--quick]   (--quick: the plain build only)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
quick=0
[[ "${1:-}" == "--quick" ]] && quick=1
jobs=$(nproc)
# Tests against real sound and X servers measure time and sound on a shared machine; a failure
# is run once more before it counts, and shows in the output either way.
retry=(--repeat until-pass:2)

# ctest with the suite's options. When a test fails for good, the end of its output and what else
# was busy on the machine close the stage, where a reader of a long log looks first.
run_ctest() {
  local dir=$1
  shift
  if ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${retry[@]}" "$@"; then
    return 0
  fi
  local failed="$dir/Testing/Temporary/LastTestsFailed.log"
  echo "== What the failing tests printed last"
  awk -v want="$(cut -d: -f2- "$failed" 2>/dev/null | tr '\n' '\034')" '
    BEGIN { n = split(want, w, "\034"); for (i = 1; i <= n; i++) if (w[i] != "") bad[w[i]] = 1 }
    /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); keep = (name in bad); k = 0; next }
    /^Output:$/ { inside = 1; next }
    /^<end of output>$/ { if (keep) { print "-- " name; s = (k > 30 ? k - 30 : 0); for (i = s + 1; i <= k; i++) print buf[i] } inside = 0; next }
    inside && keep { buf[++k] = $0 }
  ' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null || true
  echo "== Busiest processes at the end"
  ps -eo pid,etime,pcpu,args --sort=-pcpu 2>/dev/null | head -n 8 | cut -c1-160 || true
  return 1
}

if ((quick == 0)); then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  "$top/scripts/setup.sh" "$top/build-asan" -DLUMAFON_WERROR=ON -DLUMAFON_SANITIZE=ON -DLUMAFON_BENCH=OFF
  run_ctest "$top/build-asan" -LE nosan

  echo "== Fuzz targets (clang, libFuzzer): built, and their seed corpora replayed"
  CC=clang CXX=clang++ "$top/scripts/setup.sh" "$top/build-fuzz" -DLUMAFON_WERROR=ON -DLUMAFON_FUZZ=ON -DLUMAFON_TESTS=OFF -DLUMAFON_BENCH=OFF
  for target in "$top"/build-fuzz/tests/fuzz/fuzz_*; do
    name=$(basename "$target")
    "$target" -runs=0 "$top/tests/fuzz/corpus/${name#fuzz_}" 2>&1 | tail -n 1
  done

  echo "== ThreadSanitizer"
  "$top/scripts/setup.sh" "$top/build-tsan" -DLUMAFON_WERROR=ON -DLUMAFON_TSAN=ON -DLUMAFON_BENCH=OFF
  run_ctest "$top/build-tsan" -L tsan
fi

echo "== Plain build"
"$top/scripts/setup.sh" "$top/build" -DLUMAFON_WERROR=ON
run_ctest "$top/build"

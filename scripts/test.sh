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

if ((quick == 0)); then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  "$top/scripts/setup.sh" "$top/build-asan" -DLUMAFON_WERROR=ON -DLUMAFON_SANITIZE=ON -DLUMAFON_BENCH=OFF
  ctest --test-dir "$top/build-asan" -j "$jobs" --output-on-failure "${retry[@]}" -LE nosan

  echo "== Fuzz targets (clang, libFuzzer): built, and their seed corpora replayed"
  CC=clang CXX=clang++ "$top/scripts/setup.sh" "$top/build-fuzz" -DLUMAFON_WERROR=ON -DLUMAFON_FUZZ=ON -DLUMAFON_TESTS=OFF -DLUMAFON_BENCH=OFF
  for target in "$top"/build-fuzz/tests/fuzz/fuzz_*; do
    name=$(basename "$target")
    "$target" -runs=0 "$top/tests/fuzz/corpus/${name#fuzz_}" 2>&1 | tail -n 1
  done

  echo "== ThreadSanitizer"
  "$top/scripts/setup.sh" "$top/build-tsan" -DLUMAFON_WERROR=ON -DLUMAFON_TSAN=ON -DLUMAFON_BENCH=OFF
  ctest --test-dir "$top/build-tsan" -j "$jobs" --output-on-failure "${retry[@]}" -L tsan
fi

echo "== Plain build"
"$top/scripts/setup.sh" "$top/build" -DLUMAFON_WERROR=ON
ctest --test-dir "$top/build" -j "$jobs" --output-on-failure "${retry[@]}"

#!/usr/bin/env bash
# A packager's build: configures a fresh tree the way a distribution does (no tests, no
# benchmarks) in the Debug, RelWithDebInfo and Release configurations, builds the program and
# runs it. Optimisers warn differently per level, so each level is built on its own.
# Usage: build_types.sh SOURCE_DIR WERROR C_COMPILER CXX_COMPILER
set -euo pipefail
source_dir=$1 werror=$2 cc=$3 cxx=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/lumafon-build-types.XXXXXX")
trap 'rm -rf "$work"' EXIT

for type in Debug RelWithDebInfo Release; do
  start=$SECONDS
  if ! cmake -S "$source_dir" -B "$work/$type" -DCMAKE_BUILD_TYPE=$type -DLUMAFON_TESTS=OFF \
      -DLUMAFON_BENCH=OFF -DLUMAFON_WERROR="$werror" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
      >"$work/$type.log" 2>&1 ||
    ! cmake --build "$work/$type" -j 2 --target Lumafon >>"$work/$type.log" 2>&1; then
    tail -n 60 "$work/$type.log"
    echo "FAIL: the $type build failed (last lines of its log above)"
    exit 1
  fi
  version=$("$work/$type/Lumafon" --version)
  echo "$type: built in $((SECONDS - start)) s, --version says: $version"
  rm -rf "${work:?}/$type"
done

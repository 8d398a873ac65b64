#!/usr/bin/env bash
# Installs the Debian packages the project needs (only the missing ones) and builds it.
# Usage: scripts/setup.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$top/build"}
shift || true

need=()
while read -r pkg; do
  [[ -z "$pkg" || "$pkg" == \#* ]] && continue
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || need+=("$pkg")
done < "$top/scripts/packages.txt"

if ((${#need[@]})); then
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  apt=("${sudo[@]}" apt-get -y -q -o DPkg::Lock::Timeout=600 --no-install-recommends)
  echo "Installing: ${need[*]}"
  # A fresh machine has no package lists yet; update once, and again only if the install fails.
  if ! ls /var/lib/apt/lists/*_Packages >/dev/null 2>&1; then
    "${sudo[@]}" apt-get -q -o DPkg::Lock::Timeout=600 update
  fi
  if ! "${apt[@]}" install "${need[@]}"; then
    "${sudo[@]}" apt-get -q -o DPkg::Lock::Timeout=600 update
    "${apt[@]}" install "${need[@]}"
  fi
fi

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE="${LUMAFON_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"

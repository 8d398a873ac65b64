#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program with the given arguments.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" "$top/build" >&2
exec "$top/build/Lumafon" "$@"

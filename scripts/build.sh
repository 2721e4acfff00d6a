#!/usr/bin/env bash
# Configures and builds into build/ (or $VYX_BUILD_DIR); extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${VYX_BUILD_DIR:-build}
jobs=${VYX_JOBS:-$(nproc)}
if [[ ! -f "$dir/CMakeCache.txt" || $# -gt 0 ]]; then
  cmake -S . -B "$dir" "$@" >/dev/null
fi
cmake --build "$dir" -j "$jobs"

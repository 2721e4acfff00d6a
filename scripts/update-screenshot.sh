#!/usr/bin/env bash
# Regenerates docs/screenshot.png: the manager logged in to a fresh simulator, on the Parameters
# view with live values. Runs inside a network namespace of its own when it can, so that nothing
# of it reaches the machine's network.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ "${1:-}" != --inside ]] && unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && exec "$0" --inside' "$(pwd)/scripts/update-screenshot.sh"
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p docs
env -u DISPLAY -u WAYLAND_DISPLAY VYX_SIM_ROOT="$root/sim" VYX_SCREENSHOT="$(pwd)/docs/screenshot.png" \
  VYX_RUN_SECONDS=15 XDG_DATA_HOME="$root/data" scripts/run-desk.sh

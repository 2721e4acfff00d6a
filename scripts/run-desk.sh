#!/usr/bin/env bash
# Starts the simulator (when built) and the manager; without a display the manager runs on a
# virtual one and a screenshot of it is saved. VYX_BUILD_DIR picks the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/../${VYX_BUILD_DIR:-build}/bin"

sim_pid=""
cleanup() { [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT

if [[ -x ./vyxsim ]]; then
  ./vyxsim --bind 127.0.0.1 --port 18000 --live &
  sim_pid=$!
  echo "vyxsim listening on 127.0.0.1:18000 (user admin, password admin)"
fi

if [[ ! -x ./vyxdesk ]]; then
  echo "vyxdesk is not built yet; the SDK and tools are in $(pwd)"
  ls -1
  exit 0
fi

if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
  ./vyxdesk
else
  shot="$(pwd)/vyxdesk-screenshot.png"
  echo "No display: running vyxdesk on a virtual display for ${VYX_RUN_SECONDS:-10} s"
  VYXDESK_SCREENSHOT="$shot" VYXDESK_QUIT_AFTER_MS=$(( ${VYX_RUN_SECONDS:-10} * 1000 )) \
    xvfb-run -a -s "-screen 0 1920x1080x24" ./vyxdesk || true
  [[ -f "$shot" ]] && echo "Screenshot: $shot"
fi

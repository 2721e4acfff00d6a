#!/usr/bin/env bash
# Starts the simulator and the manager logged in to it. Without a display the manager runs on a
# virtual one and a screenshot of it is saved once the parameters have arrived.
#   VYX_BUILD_DIR  build folder (default build)
#   VYX_SIM_ROOT   the simulator's sandbox folder (default its own, ~/.local/share/vyxsim)
#   VYX_SCREENSHOT where the headless screenshot goes (default <build>/bin/vyxdesk-screenshot.png)
#   VYX_RUN_SECONDS how long the headless run lasts (default 10)
set -euo pipefail
build=${VYX_BUILD_DIR:-build}
[[ "$build" == /* ]] || build="$(dirname "$0")/../$build"
cd "$build/bin"

sim_pid=""
sim_out=$(mktemp)
cleanup() {
  [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null
  wait 2>/dev/null || true
  rm -f "$sim_out"
}
trap cleanup EXIT

# Starts vyxsim on 127.0.0.1 (port $1, 0 for any free one); the port it listens on lands in $port.
start_sim() {
  local args=(--bind 127.0.0.1 --port "$1" --live --no-discovery)
  [[ -n "${VYX_SIM_ROOT:-}" ]] && args+=(--root "$VYX_SIM_ROOT")
  : >"$sim_out"
  ./vyxsim "${args[@]}" >"$sim_out" &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -q '^LISTENING ' "$sim_out" && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  port=$(awk '/^LISTENING /{ print $2; exit }' "$sim_out")
  if [[ -z "$port" ]]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
    return 1
  fi
}

port=""
if [[ -x ./vyxsim ]]; then
  # 18000 is the server's port; when another program holds it, any free port will do.
  start_sim 18000 || start_sim 0 || { echo "vyxsim did not start"; exit 1; }
  echo "vyxsim listening on 127.0.0.1:$port (user admin, password admin)"
fi

if [[ ! -x ./vyxdesk ]]; then
  echo "vyxdesk is not built yet; the SDK and tools are in $(pwd)"
  ls -1
  exit 0
fi

desk=(./vyxdesk)
if [[ -n "$port" ]]; then
  export VYXDESK_PASSWORD=admin
  desk+=(--connect "admin@127.0.0.1:$port" --site-name "Local simulator")
fi

if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
  "${desk[@]}"
else
  shot="${VYX_SCREENSHOT:-$(pwd)/vyxdesk-screenshot.png}"
  rm -f "$shot"
  echo "No display: running vyxdesk on a virtual display for ${VYX_RUN_SECONDS:-10} s"
  VYXDESK_SCREENSHOT="$shot" VYXDESK_QUIT_AFTER_MS=$(( ${VYX_RUN_SECONDS:-10} * 1000 )) \
    xvfb-run -a -s "-screen 0 1920x1080x24" "${desk[@]}" || true
  [[ -f "$shot" ]] && echo "Screenshot: $shot"
fi

#!/usr/bin/env bash
# The demo of ./run.sh without a display: inside a network namespace of its own (nothing may
# search the machine's network), scripts/run-desk.sh starts the simulator and the manager logged in
# to it, and the screenshot it prints is taken once the parameters have arrived.
# Usage: run_desk_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
SOURCE=${1:?source folder}
BUILD=${2:?build folder}
if [[ "${3:-}" != --inside ]]; then
  # Skipped (77) where no namespace can be made; on CI (CI=true) that is a failure instead.
  if ! unshare -n true 2>/dev/null; then
    echo "SKIP: cannot make a network namespace"
    [[ "${CI:-}" == true ]] && { echo "FAIL: CI=true: this test must run, not skip" >&2; exit 1; }
    exit 77
  fi
  exec unshare -n sh -c 'ip link set lo up && exec bash "$0" "$1" "$2" --inside' "$0" "$SOURCE" "$BUILD"
fi
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vyxrundesk.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$WORK/out" >&2; exit 1; }

env -u DISPLAY -u WAYLAND_DISPLAY VYX_BUILD_DIR="$BUILD" VYX_SIM_ROOT="$WORK/sim" XDG_DATA_HOME="$WORK/data" \
  XDG_RUNTIME_DIR="$WORK" VYX_SCREENSHOT="$WORK/shot.png" VYX_RUN_SECONDS=12 \
  bash "$SOURCE/scripts/run-desk.sh" >"$WORK/out" 2>&1 || fail "run-desk.sh failed"
grep -q "^vyxsim listening on 127.0.0.1:18000 (user admin, password admin)$" "$WORK/out" || fail "the simulator did not start on 18000"
grep -q "^Screenshot: $WORK/shot.png$" "$WORK/out" || fail "no screenshot path printed"
file "$WORK/shot.png" | grep -q "PNG image data, 1920 x 1080" || fail "the screenshot is not a full-screen PNG: $(file "$WORK/shot.png")"
grep -q "user admin logged in" "$WORK/out" || fail "the manager did not log in"
grep -q "parameter list" "$WORK/out" || fail "the page did not ask for the parameters"
! grep -q "before the parameters arrived" "$WORK/out" || fail "the screenshot was taken before the parameters arrived"
! grep -qi "discover\|17001" "$WORK/out" || fail "something searched the network"
echo "run-desk.sh shows the live demo"

#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and uses the programs from there: the XDG layout
# (programs, page, desktop file, icons, metainfo, man pages, completion), vyxctl against the
# installed vyxsim, and the installed vyxdesk showing the installed page, logged in to the
# simulator. Usage: install_test.sh BUILD_DIR
set -uo pipefail
BUILD=${1:?build folder}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vyxinstall.XXXXXX")
SIM_PID=""
cleanup() {
  [[ -n "$SIM_PID" ]] && { kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; }
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DEST="$WORK/dest"
DESTDIR="$DEST" cmake --install "$BUILD" --prefix /usr >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log"; fail "cmake --install failed"; }
U="$DEST/usr"

for f in bin/vyxdesk bin/vyxctl bin/vyxsim \
         share/vyxdesk/html/index.html share/vyxdesk/html/js/app.js share/vyxdesk/html/css/workbench.css \
         share/applications/vyxdesk.desktop share/metainfo/io.github.vyxdesk.vyxdesk.metainfo.xml \
         share/icons/hicolor/scalable/apps/vyxdesk.svg share/icons/hicolor/48x48/apps/vyxdesk.png \
         share/icons/hicolor/256x256/apps/vyxdesk.png \
         share/man/man1/vyxdesk.1.gz share/man/man1/vyxctl.1.gz share/man/man1/vyxsim.1.gz \
         share/bash-completion/completions/vyxctl share/doc/vyxdesk/copyright \
         lib/systemd/system/vyxctl-fleet-backup.service lib/systemd/system/vyxctl-fleet-backup.timer; do
  [[ -e "$U/$f" ]] || fail "not installed: /usr/$f"
done
[[ -x "$U/bin/vyxdesk" && -x "$U/bin/vyxctl" && -x "$U/bin/vyxsim" ]] || fail "programs are not executable"
[[ ! -e "$U/bin/data" ]] || fail "the page was installed beside the program instead of under share/"
file "$U/share/icons/hicolor/48x48/apps/vyxdesk.png" | grep -q "48 x 48" || fail "the 48x48 icon has another size"

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$U/share/applications/vyxdesk.desktop" || fail "desktop file"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$U/share/metainfo/io.github.vyxdesk.vyxdesk.metainfo.xml" || fail "metainfo"
fi
for m in vyxdesk vyxctl vyxsim; do
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$U/share/man/man1/$m.1.gz" 2>&1 >/dev/null) || true
  [[ -z "$out" ]] || fail "man page $m.1.gz: $out"
done
bash -n "$U/share/bash-completion/completions/vyxctl" || fail "bash completion does not parse"

# The installed programs answer --help and --version without a display.
env -u DISPLAY "$U/bin/vyxdesk" --help | grep -q -- "--connect" || fail "vyxdesk --help"
env -u DISPLAY "$U/bin/vyxdesk" --version | grep -q "^vyxdesk [0-9]" || fail "vyxdesk --version"
"$U/bin/vyxdesk" --connect 'bad host:x' 2>"$WORK/bad.err"; rc=$?
[[ $rc -eq 2 ]] && grep -q "USER@" "$WORK/bad.err" || fail "a bad --connect should stop with exit code 2 and say the form ($rc)"
"$U/bin/vyxdesk" --page "$WORK/missing.html" 2>"$WORK/page.err"; rc=$?
[[ $rc -eq 2 ]] && grep -q "missing.html is not a file" "$WORK/page.err" || fail "a missing --page should stop with exit code 2 ($rc)"

# vyxctl against the installed simulator.
"$U/bin/vyxsim" --port 0 --root "$WORK/sim" --no-discovery --live >"$WORK/sim.out" 2>"$WORK/sim.log" &
SIM_PID=$!
PORT=""
for _ in $(seq 1 200); do
  read -r word PORT <"$WORK/sim.out" 2>/dev/null && [[ "$word" == LISTENING && -n "$PORT" ]] && break
  PORT=""; sleep 0.05
done
[[ -n "$PORT" ]] || fail "the installed vyxsim did not start: $(cat "$WORK/sim.log")"
"$U/bin/vyxctl" -p "$PORT" -t 10 ping >"$WORK/ping.out" || fail "vyxctl ping: $(cat "$WORK/ping.out")"
grep -q "vyxsim" "$WORK/ping.out" || fail "ping does not name the server: $(cat "$WORK/ping.out")"

# The installed manager finds the installed page, logs in and shows the parameters.
export QT_QPA_PLATFORM=offscreen XDG_DATA_HOME="$WORK/xdg" XDG_RUNTIME_DIR="$WORK/run"
mkdir -p "$WORK/run" && chmod 700 "$WORK/run"
(cd "$WORK" && VYXDESK_PASSWORD=admin VYXDESK_SCREENSHOT="$WORK/shot.png" VYXDESK_QUIT_AFTER_MS=12000 \
  QT_LOGGING_RULES="vyx.app.debug=true" \
  "$U/bin/vyxdesk" --connect "admin@127.0.0.1:$PORT" --site-name "Local simulator" >"$WORK/desk.out" 2>"$WORK/desk.err") \
  || fail "vyxdesk ended with an error: $(tail -20 "$WORK/desk.err")"
grep -q "page $U/share/vyxdesk/html/index.html loaded" "$WORK/desk.err" \
  || fail "vyxdesk did not load the installed page: $(grep 'page ' "$WORK/desk.err")"
[[ -s "$WORK/shot.png" ]] || fail "no screenshot"
[[ ! -e "$U/bin/data" ]] || fail "the installed manager wrote beside the program: $(ls -R "$U/bin/data" | head)"
[[ -d "$WORK/xdg/vyxdesk/data/project" ]] || fail "the installed manager keeps its working project elsewhere than the user's data folder"
grep -q "user admin logged in" "$WORK/sim.log" || fail "vyxdesk did not log in to the simulator: $(tail -5 "$WORK/sim.log")"
grep -q "parameter list" "$WORK/sim.log" || fail "the installed page did not ask for the parameters: $(tail -5 "$WORK/sim.log")"
echo "installed layout works"

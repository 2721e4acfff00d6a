#!/usr/bin/env bash
# The systemd service and timer that the package installs for unattended fleet backups pass
# `systemd-analyze verify` without a single complaint (an unknown key is only a warning there, so
# any output fails), and the service takes the site passwords as credentials.
# Usage: systemd_units_test.sh SOURCE_DIR VYXCTL
set -uo pipefail
SRC=${1:?source folder}
VYXCTL=${2:?path of vyxctl}
UNITS="$SRC/packaging/systemd"
fail() { echo "FAIL: $*" >&2; exit 1; }
if ! command -v systemd-analyze >/dev/null; then
  [[ "${CI:-}" == true ]] && fail "CI=true: systemd-analyze is missing (package systemd)"
  echo "SKIP: systemd-analyze is not installed"
  exit 77
fi
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vyxunits.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

service=vyxctl-fleet-backup.service
timer=vyxctl-fleet-backup.timer
# The package puts vyxctl in /usr/bin; here the built one stands in for it, and the man page that
# the units name is found through MANPATH.
grep -q '^ExecStart=/usr/bin/vyxctl fleet backup ' "$UNITS/$service" || fail "ExecStart does not run the installed vyxctl"
sed "s|^ExecStart=/usr/bin/vyxctl |ExecStart=$VYXCTL |" "$UNITS/$service" >"$WORK/$service"
cp "$UNITS/$timer" "$WORK/$timer"
mkdir -p "$WORK/man/man1"
cp "$SRC/packaging/man/vyxctl.1" "$WORK/man/man1/"
(cd "$WORK" && MANPATH="$WORK/man" systemd-analyze verify "./$service" "./$timer") >"$WORK/verify.out" 2>&1
rc=$?
[[ $rc == 0 && ! -s "$WORK/verify.out" ]] || fail "systemd-analyze verify ($rc): $(cat "$WORK/verify.out")"
grep -q '^LoadCredential=' "$UNITS/$service" || fail "the service loads no credentials"
grep -Eq '^(Environment|EnvironmentFile)=' "$UNITS/$service" && fail "the service passes something through the environment"
grep -q '^OnCalendar=' "$UNITS/$timer" || fail "the timer has no schedule"
echo "units verified"

#!/usr/bin/env bash
# Installs what is missing, builds, and runs the manager against the built-in server simulator.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
scripts/build.sh
exec scripts/run-desk.sh "$@"

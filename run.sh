#!/usr/bin/env bash
# Builds the emulated program and runs an update against the emulated
# controller: in a window when there is a display, otherwise with --auto,
# showing the progress and then the "Results" and summary panes.
# Further arguments go to linecard-updater-emulated (see --help).
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
ensure_packages
build_quietly linecard-updater-emulated
program=build/emulated/linecard-updater-emulated
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$program" "$@"
fi
exec "$program" --auto "$@"

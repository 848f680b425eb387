#!/usr/bin/env bash
# Builds the tool and runs an update against the emulated controller: in a
# window when there is a display, otherwise with --auto, printing the panes.
# Further arguments go to linecard-updater-emulated (see --help).
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
ensure_packages
build_project
program=build/emulated/linecard-updater-emulated
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$program" "$@"
fi
exec "$program" --auto "$@"
